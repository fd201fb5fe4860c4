// Arbitrary bytes through the NMEA decoder in chunks (see FuzzChunks.h): the
// carry stays within its size and nothing reads or writes outside a buffer
// (ASan, UBSan).
// Seeds (fuzz/corpus/nmea/): up to the first 3000 bytes of receiver output of
// captures in tests/data (comment lines removed) and one sentence of each
// decoded type, each behind its two chunk-size bytes.
#include "decode/NmeaDecoder.h"
#include "fixtures/VirtualTime.h"
#include "fuzz/FuzzChunks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::testing::VirtualTimeSource time;
  corvane::SharedPositionFix fix;
  corvane::NmeaDecoder decoder(fix, time, corvane::fuzz::IgnoreTrace);
  corvane::fuzz::FeedInChunks(decoder, data, size, [&] {
    return decoder.CarryLength() >= 0 && decoder.CarryLength() <= corvane::NmeaDecoder::kCarrySize;
  });
  (void)fix.Snapshot();
  return 0;
}
