#include "bench/rig/StreamMatch.h"

#include <algorithm>

namespace corvane::bench {

namespace {

constexpr size_t kKeyLength = 32;

size_t CommonLength(std::string_view a, std::string_view b) {
  const auto [left, right] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return static_cast<size_t>(left - a.begin());
}

}  // namespace

std::optional<size_t> StreamMatch::ReceivedOffsetOf(size_t offset) const {
  for (const MatchedRun& run : Runs) {
    if (offset >= run.Written && offset < run.Written + run.Length) {
      return run.Received + (offset - run.Written);
    }
  }
  return std::nullopt;
}

StreamMatch MatchStreams(std::string_view written, std::string_view received) {
  StreamMatch match;
  size_t w = 0;
  size_t r = 0;
  while (r < received.size()) {
    const size_t common =
        CommonLength(written.substr(std::min(w, written.size())), received.substr(r));
    if (common > 0) {
      match.Runs.push_back({w, r, common});
      w += common;
      r += common;
      continue;
    }
    const std::string_view key = received.substr(r, kKeyLength);
    if (const size_t ahead = written.find(key, w); ahead != std::string_view::npos) {
      w = ahead;
      continue;
    }
    if (const size_t behind = written.find(key); behind != std::string_view::npos) {
      const size_t length = CommonLength(written.substr(behind), received.substr(r));
      match.Runs.push_back({behind, r, length});
      match.Reordered += length;
      r += length;
      continue;
    }
    ++match.Foreign;
    ++r;
  }
  // Lost: the written bytes no run covers.
  std::vector<MatchedRun> byWritten = match.Runs;
  std::sort(byWritten.begin(), byWritten.end(),
            [](const MatchedRun& a, const MatchedRun& b) { return a.Written < b.Written; });
  size_t covered = 0;
  size_t end = 0;
  for (const MatchedRun& run : byWritten) {
    const size_t from = std::max(end, run.Written);
    end = std::max(end, run.Written + run.Length);
    if (end > from) covered += end - from;
  }
  match.Lost = written.size() - covered;
  return match;
}

}  // namespace corvane::bench
