// Arbitrary bytes through the RTCM 3 inventory of corvane-decode and
// corvane-caster, in chunks as FuzzChunks.h picks them: every byte fed ends
// up in a counted frame or among the skipped ones, and nothing reads or
// writes outside a buffer (ASan, UBSan).
// Seeds (fuzz/corpus/rtcm3/): the first frames of tests/data/rtcm3/testglo.rtcm3
// behind their two chunk-size bytes, and the same with one byte changed.
#include "fuzz/FuzzChunks.h"
#include "tools/common/Rtcm3Inventory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::rtcm3::Inventory inventory;
  corvane::fuzz::FeedInChunks(data, size, [&](const uint8_t* chunk, int32_t count) {
    inventory.Feed(chunk, static_cast<size_t>(count));
    return true;
  });
  inventory.Finish();
  uint64_t framed = 0;
  for (const auto& [type, stats] : inventory.Messages()) framed += stats.Bytes;
  if (framed + inventory.SkippedBytes() != inventory.BytesFed()) std::abort();
  return 0;
}
