// Fuzz input as a decoder meets it: the first two bytes pick the chunk size
// (1 to 2048), the rest arrives in chunks of that size. `feed` takes one chunk
// and tells whether the bounds still hold; a broken bound aborts, so libFuzzer
// reports it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace corvane::fuzz {

template <typename Feed>
void FeedInChunks(const uint8_t* data, size_t size, Feed feed) {
  if (size < 2) return;
  const size_t chunk = 1 + ((size_t{data[0]} << 8 | data[1]) % 2048);
  for (size_t done = 2; done < size; done += chunk) {
    if (!feed(data + done, static_cast<int32_t>(std::min(chunk, size - done)))) std::abort();
  }
}

}  // namespace corvane::fuzz
