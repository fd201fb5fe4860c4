// Arbitrary bytes through the RTCM 3 inventory of corvane-decode and
// corvane-caster, in chunks as FuzzChunks.h picks them: every byte fed ends
// up in a counted frame or among the skipped ones, and nothing reads or
// writes outside a buffer (ASan, UBSan).
// Seeds (fuzz/corpus/rtcm3/): the first frames of tests/data/rtcm3/testglo.rtcm3
// behind their two chunk-size bytes, and the same with one byte changed.
#include <cstdlib>

#include "fuzz/FuzzChunks.h"
#include "tools/common/Rtcm3Inventory.h"

namespace {

// The inventory behind the decoders' Decode signature, for FeedInChunks.
struct InventoryFeed {
  int32_t Decode(const uint8_t* bytes, int32_t count) {
    inventory.Feed(bytes, static_cast<size_t>(count));
    return 0;
  }
  corvane::rtcm3::Inventory inventory;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InventoryFeed feed;
  corvane::fuzz::FeedInChunks(feed, data, size, [] { return true; });
  feed.inventory.Finish();
  uint64_t framed = 0;
  for (const auto& [type, stats] : feed.inventory.Messages()) framed += stats.Bytes;
  if (framed + feed.inventory.SkippedBytes() != feed.inventory.BytesFed()) std::abort();
  return 0;
}
