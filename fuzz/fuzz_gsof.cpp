// Arbitrary bytes through the GSOF decoder: the first two bytes pick the chunk
// size (1 to 2048), the rest is fed in chunks of that size. The stream and
// page buffers stay within their sizes and nothing reads or writes outside a
// buffer (ASan, UBSan).
// Seeds (fuzz/corpus/gsof/), built with tests/decode/GsofBuilder.h, each
// behind its two chunk-size bytes: a single-page report with records 1, 2, 9
// and 12; a three-page report with record 34 for 30 satellites; a generated
// stream with noise; a packet in 2-byte chunks; a corrupted packet before a
// valid one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decode/GsofDecoder.h"
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
  corvane::GsofDecoder decoder(fix, time, IgnoreTrace);
  for (size_t done = 0; done < size; done += chunk) {
    const size_t count = size - done < chunk ? size - done : chunk;
    decoder.Decode(data + done, static_cast<int32_t>(count));
    if (decoder.StreamLength() < 0 || decoder.StreamLength() > corvane::GsofDecoder::kStreamSize ||
        decoder.PageLength() < 0 || decoder.PageLength() >= corvane::GsofDecoder::kPageSize) {
      std::abort();
    }
  }
  const corvane::PositionFix snapshot = fix.Snapshot();
  if (snapshot.GpsInView > 20 || snapshot.GloInView > 20 || snapshot.BdsInView > 20) std::abort();
  return 0;
}
