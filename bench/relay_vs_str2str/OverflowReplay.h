// The proof that Corvane loses nothing but what the relay buffer's overflow
// rule drops: the relay's reads and sends, as its trace shows them, are
// replayed through the rule (a chunk that would make the waiting bytes reach
// 4096 drops everything that waited), which predicts which bytes each send
// carried. When the prediction equals what the caster received, byte for
// byte, the rule accounts for every lost byte.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::bench {

struct RelayEvent {
  enum class Kind { Read, Send };
  Kind What;
  size_t Count;
};

// The "Read From serialport data N" and "Ntrip SendData:N" lines of the
// relay's trace, in their order.
std::vector<RelayEvent> ParseRelayTrace(std::string_view trace);

struct OverflowReplay {
  // Every send took exactly the bytes the rule left waiting.
  bool Consistent = false;
  // Adjacent read and send lines put back into the order their counts
  // require: each thread traces after it let go of the buffer, so the two
  // lines of a read and a send close together may come out either way.
  int Swapped = 0;
  size_t Read = 0;
  size_t Drops = 0;
  size_t Dropped = 0;
  // Each send as (offset in the stream read, length).
  std::vector<std::pair<size_t, size_t>> Sent;
};

OverflowReplay ReplayOverflowRule(std::vector<RelayEvent> events, size_t capacity);

}  // namespace corvane::bench
