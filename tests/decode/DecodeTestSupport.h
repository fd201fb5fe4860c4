// Shared pieces of the decoder tests: feeding bytes in chunks and comparing
// chunkings, reading the captures as the receiver sent them, a writer that
// records what a decoder sends, a trace sink that keeps the lines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "decode/PositionDecoder.h"
#include "fixtures/Files.h"
#include "fixtures/VirtualTime.h"

namespace corvane::testing {

// `data` (text or bytes) in chunks of `chunk` bytes, the last one shorter.
template <typename Data>
void Feed(PositionDecoder& decoder, const Data& data, size_t chunk = 2048) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t done = 0; done < data.size(); done += chunk)
    decoder.Decode(bytes + done, static_cast<int32_t>(std::min(chunk, data.size() - done)));
}

// The record after `data` went through a fresh decoder in chunks of `chunk`.
template <typename Decoder, typename Data>
PositionFix DecodeInChunks(const Data& data, size_t chunk) {
  VirtualTimeSource time;
  SharedPositionFix fix;
  Decoder decoder(fix, time);
  Feed(decoder, data, chunk);
  return fix.Snapshot();
}

// The first chunk size that gives another record than 2048-byte chunks, 0
// when none does. Every size up to 64, then every 37th (short enough for the
// sanitizer builds), and 2047.
template <typename Decoder, typename Data>
size_t FirstDifferingChunk(const Data& data) {
  const PositionFix whole = DecodeInChunks<Decoder>(data, 2048);
  for (size_t chunk = 1; chunk < 2048; chunk += chunk < 64 ? 1 : 37) {
    if (DecodeInChunks<Decoder>(data, chunk) != whole) return chunk;
  }
  return DecodeInChunks<Decoder>(data, 2047) == whole ? 0 : 2047;
}

class RecordingWriter final : public ByteWriter {
 public:
  int32_t Write(const uint8_t* bytes, int32_t count) override {
    writes.emplace_back(bytes, bytes + count);
    return count;
  }
  std::vector<std::string> writes;
};

// The trace lines of the decoder under test (one test at a time).
inline std::vector<std::string> tracedLines;
inline void RecordTrace(std::string_view text) {
  tracedLines.emplace_back(text);
}

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

// A capture under tests/data, without its comment lines.
inline std::string ReadCapture(const std::filesystem::path& relative) {
  return WithoutCommentLines(ReadFileBytes(std::filesystem::path(CORVANE_SOURCE_DIR) / relative));
}

}  // namespace corvane::testing
