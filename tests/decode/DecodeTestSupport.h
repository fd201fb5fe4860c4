// Shared pieces of the decoder tests: feeding text in chunks, a writer that
// records what a decoder sends, a trace sink that keeps the lines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "decode/PositionDecoder.h"

namespace corvane::testing {

inline void Feed(PositionDecoder& decoder, const void* data, size_t size, size_t chunk = 2048) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < size; done += chunk) {
    decoder.Decode(bytes + done, static_cast<int32_t>(std::min(chunk, size - done)));
  }
}

inline void Feed(PositionDecoder& decoder, std::string_view text, size_t chunk = 2048) {
  Feed(decoder, text.data(), text.size(), chunk);
}

class RecordingWriter final : public ByteWriter {
 public:
  int32_t Write(const uint8_t* bytes, int32_t count) override {
    writes.emplace_back(bytes, bytes + count);
    return count;
  }
  std::vector<std::vector<uint8_t>> writes;
};

// The trace lines of the decoder under test (one test at a time).
inline std::vector<std::string>& TracedLines() {
  static std::vector<std::string> lines;
  return lines;
}
inline void RecordTrace(std::string_view text) {
  TracedLines().emplace_back(text);
}

// Receiver output as the project keeps it: gpsd logs carry "#" comment lines
// that the receiver never sent.
inline std::string WithoutCommentLines(std::string_view log) {
  std::string out;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    end = end == std::string_view::npos ? log.size() : end + 1;
    if (log[start] != '#') out.append(log.substr(start, end - start));
    start = end;
  }
  return out;
}

}  // namespace corvane::testing
