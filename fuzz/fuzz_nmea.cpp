// Arbitrary bytes through the NMEA decoder in chunks (see FuzzChunks.h): the
// carry stays within its size and nothing reads or writes outside a buffer
// (ASan, UBSan). With a trace sink, so that the trace lines are built too.
// Seeds (fuzz/corpus/nmea/): up to the first 3000 bytes of receiver output of
// captures in tests/data (comment lines removed) and one sentence of each
// decoded type, each behind its two chunk-size bytes.
#include "decode/NmeaDecoder.h"
#include "fixtures/VirtualTime.h"
#include "fuzz/FuzzChunks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using corvane::NmeaDecoder;
  corvane::testing::VirtualTimeSource time;
  corvane::SharedPositionFix fix;
  NmeaDecoder decoder(fix, time, [](std::string_view) {});
  corvane::fuzz::FeedInChunks(data, size, [&](const uint8_t* chunk, int32_t count) {
    decoder.Decode(chunk, count);
    return decoder.CarryLength() >= 0 && decoder.CarryLength() <= NmeaDecoder::kCarrySize;
  });
  return 0;
}
