// Fuzz input as a decoder meets it: the first two bytes pick the chunk size
// (1 to 2048), the rest arrives in chunks of that size. A broken bound after
// any chunk aborts, so libFuzzer reports it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace corvane::fuzz {

inline void IgnoreTrace(std::string_view) {}

template <typename Decoder, typename BoundsHold>
void FeedInChunks(Decoder& decoder, const uint8_t* data, size_t size, BoundsHold boundsHold) {
  if (size < 2) return;
  const size_t chunk = 1 + ((size_t{data[0]} << 8 | data[1]) % 2048);
  for (size_t done = 2; done < size; done += chunk) {
    decoder.Decode(data + done, static_cast<int32_t>(std::min(chunk, size - done)));
    if (!boundsHold()) std::abort();
  }
}

}  // namespace corvane::fuzz
