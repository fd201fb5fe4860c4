// Shared pieces of the decoder tests: a decoder fed bytes in chunks, reading
// the captures as the receiver sent them, a writer that records what a
// decoder sends.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decode/PositionDecoder.h"
#include "fixtures/TempDir.h"
#include "fixtures/VirtualTime.h"

namespace corvane::testing {

// A decoder with its record and clock; Decode feeds it `data` (of the type
// the decoder reads: text or bytes) in chunks of `chunk` bytes, the last one
// shorter, and returns the record.
template <typename Decoder, typename Data = std::string_view>
struct DecoderRig {
  PositionFix Decode(const Data& data, size_t chunk = 2048) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t done = 0; done < data.size(); done += chunk)
      decoder.Decode(bytes + done, static_cast<int32_t>(std::min(chunk, data.size() - done)));
    return fix.Snapshot();
  }
  VirtualTimeSource time;
  SharedPositionFix fix;
  Decoder decoder{fix, time};
};

class RecordingWriter final : public ByteWriter {
 public:
  int32_t Write(const uint8_t* bytes, int32_t count) override {
    writes.emplace_back(bytes, bytes + count);
    return count;
  }
  std::vector<std::string> writes;
};

// Receiver output as the project keeps it: gpsd logs carry "#" comment lines
// that the receiver never sent.
inline std::string WithoutCommentLines(std::string_view log) {
  std::string out;
  for (size_t start = 0, end = 0; start < log.size(); start = end) {
    end = std::min(log.find('\n', start), log.size() - 1) + 1;
    if (log[start] != '#') out.append(log.substr(start, end - start));
  }
  return out;
}

}  // namespace corvane::testing
