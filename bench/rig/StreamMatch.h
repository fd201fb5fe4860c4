// What became of a written stream on its way through a relay: the bytes that
// arrived are matched to the written ones in runs, so that losses, bytes that
// arrived out of order and bytes nobody wrote can be counted, and each
// written byte that arrived can be found in the received stream.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace corvane::bench {

struct MatchedRun {
  size_t Written = 0;   // offset in the written stream
  size_t Received = 0;  // offset in the received stream
  size_t Length = 0;
};

struct StreamMatch {
  size_t Lost = 0;               // written bytes that never arrived
  size_t Reordered = 0;          // arrived after a byte that was written later
  size_t Foreign = 0;            // arrived, but never written
  std::vector<MatchedRun> Runs;  // in the order they arrived

  bool Exact() const { return Lost == 0 && Reordered == 0 && Foreign == 0; }
  // Where the written byte at `offset` arrived, if it did.
  std::optional<size_t> ReceivedOffsetOf(size_t offset) const;
};

// Walks the received stream along the written one; where they part, the next
// received bytes are looked for further on in the written stream (the bytes
// between are lost), else earlier on (they came out of order), else they
// count as foreign. Sound for streams whose 32-byte pieces do not repeat
// nearby, such as random bytes or a capture that loops.
StreamMatch MatchStreams(std::string_view written, std::string_view received);

}  // namespace corvane::bench
