// Arbitrary bytes through the NMEA decoder: the first two bytes pick the chunk
// size (1 to 2048), the rest is fed in chunks of that size. Every buffer
// bound holds and nothing reads or writes outside one (ASan, UBSan).
// Seeds (fuzz/corpus/nmea/): up to the first 3000 bytes of receiver output of
// captures in tests/data (comment lines removed) and one sentence of each
// decoded type, each behind its two chunk-size bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decode/NmeaDecoder.h"
#include "fixtures/VirtualTime.h"

namespace {
void IgnoreTrace(std::string_view) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t chunk = 1 + ((size_t{data[0]} << 8 | data[1]) % 2048);
  data += 2;
  size -= 2;
  corvane::testing::VirtualTimeSource time;
  corvane::SharedPositionFix fix;
  corvane::NmeaDecoder decoder(fix, time, IgnoreTrace);
  for (size_t done = 0; done < size; done += chunk) {
    const size_t count = size - done < chunk ? size - done : chunk;
    decoder.Decode(data + done, static_cast<int32_t>(count));
    if (decoder.CarryLength() < 0 || decoder.CarryLength() > corvane::NmeaDecoder::kCarrySize)
      std::abort();
  }
  (void)fix.Snapshot();
  return 0;
}
