#include "bench/relay_vs_str2str/OverflowReplay.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace corvane::bench {

namespace {

constexpr std::string_view kReadLine = "Read From serialport data ";
constexpr std::string_view kSendLine = "Ntrip SendData:";

struct Pass {
  std::optional<size_t> Mismatch;  // the first send the rule does not account for
  OverflowReplay Result;
};

Pass Run(const std::vector<RelayEvent>& events, size_t capacity) {
  Pass pass;
  OverflowReplay& r = pass.Result;
  // What waits is always one piece of the stream read: a drop empties the
  // buffer, and every read appends right after what waits.
  size_t waitingFrom = 0;
  size_t fill = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const size_t count = events[i].Count;
    if (events[i].What == RelayEvent::Kind::Send) {
      if (count != fill) {
        pass.Mismatch = i;
        return pass;
      }
      r.Sent.emplace_back(waitingFrom, fill);
      fill = 0;
      continue;
    }
    if (fill + count >= capacity) {
      ++r.Drops;
      r.Dropped += fill;
      fill = 0;
    }
    // A chunk longer than the buffer keeps its newest bytes.
    const size_t kept = std::min(count, capacity - 1);
    r.Dropped += count - kept;
    if (fill == 0) waitingFrom = r.Read + (count - kept);
    fill += kept;
    r.Read += count;
  }
  return pass;
}

}  // namespace

std::vector<RelayEvent> ParseRelayTrace(std::string_view trace) {
  std::vector<RelayEvent> events;
  while (!trace.empty()) {
    const size_t end = trace.find('\n');
    const std::string_view line = trace.substr(0, end);
    trace = end == std::string_view::npos ? std::string_view() : trace.substr(end + 1);
    for (const auto& [prefix, kind] : {std::pair{kReadLine, RelayEvent::Kind::Read},
                                       std::pair{kSendLine, RelayEvent::Kind::Send}}) {
      if (!line.starts_with(prefix)) continue;
      size_t count = 0;
      const std::string_view digits = line.substr(prefix.size());
      if (std::from_chars(digits.data(), digits.data() + digits.size(), count).ec == std::errc()) {
        events.push_back({kind, count});
      }
    }
  }
  return events;
}

OverflowReplay ReplayOverflowRule(std::vector<RelayEvent> events, size_t capacity) {
  int swapped = 0;
  for (;;) {
    Pass pass = Run(events, capacity);
    if (!pass.Mismatch) {
      pass.Result.Consistent = true;
      pass.Result.Swapped = swapped;
      return pass.Result;
    }
    const size_t at = *pass.Mismatch;
    bool repaired = false;
    // The read traced right after the send may have come first, or the one
    // traced right before it may have come after it.
    for (const size_t other : {at + 1, at == 0 ? events.size() : at - 1}) {
      if (other >= events.size() || events[other].What != RelayEvent::Kind::Read) continue;
      std::swap(events[at], events[other]);
      const Pass trial = Run(events, capacity);
      if (!trial.Mismatch || *trial.Mismatch > std::max(at, other)) {
        repaired = true;
        ++swapped;
        break;
      }
      std::swap(events[at], events[other]);
    }
    if (!repaired) {
      pass.Result.Swapped = swapped;
      return pass.Result;
    }
  }
}

}  // namespace corvane::bench
