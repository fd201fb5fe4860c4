// Arbitrary bytes through the GSOF decoder in chunks (see FuzzChunks.h): the
// stream and page buffers and the satellite counts stay within their sizes
// and nothing reads or writes outside a buffer (ASan, UBSan). With a trace
// sink, so that the trace lines are built too.
// Seeds (fuzz/corpus/gsof/), built with tests/decode/GsofBuilder.h, each
// behind its two chunk-size bytes: a single-page report with records 1, 2, 9
// and 12; a three-page report with record 34 for 30 satellites; a generated
// stream with noise; a packet in 2-byte chunks; a corrupted packet before a
// valid one.
#include "decode/GsofDecoder.h"
#include "fixtures/VirtualTime.h"
#include "fuzz/FuzzChunks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using corvane::GsofDecoder;
  corvane::testing::VirtualTimeSource time;
  corvane::SharedPositionFix fix;
  GsofDecoder decoder(fix, time, [](std::string_view) {});
  corvane::fuzz::FeedInChunks(data, size, [&](const uint8_t* chunk, int32_t count) {
    decoder.Decode(chunk, count);
    return decoder.StreamLength() >= 0 && decoder.StreamLength() <= GsofDecoder::kStreamSize &&
           decoder.PageLength() >= 0 && decoder.PageLength() < GsofDecoder::kPageSize;
  });
  const corvane::PositionFix held = fix.Snapshot();
  if (held.GpsInView > 20 || held.GloInView > 20 || held.BdsInView > 20) std::abort();
  return 0;
}
