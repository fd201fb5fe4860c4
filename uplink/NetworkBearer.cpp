#include "uplink/NetworkBearer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace corvane {

namespace {

constexpr uint32_t kRouteUp = 0x0001;  // RTF_UP

bool ParseHex(std::string_view text, uint32_t& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
  return error == std::errc() && stop == end;
}

// Splits one line at runs of blanks and tabs.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t at = 0;
  while (at < line.size()) {
    const size_t start = line.find_first_not_of(" \t\r", at);
    if (start == std::string_view::npos) break;
    const size_t stop = std::min(line.find_first_of(" \t\r", start), line.size());
    fields.push_back(line.substr(start, stop - start));
    at = stop;
  }
  return fields;
}

}  // namespace

std::vector<std::string> DefaultRouteInterfaces(std::string_view routeTable) {
  constexpr size_t kIface = 0, kDestination = 1, kFlags = 3, kMask = 7;
  std::vector<std::string> interfaces;
  bool header = true;
  while (!routeTable.empty()) {
    const size_t end = std::min(routeTable.find('\n'), routeTable.size());
    const std::string_view line = routeTable.substr(0, end);
    routeTable.remove_prefix(std::min(end + 1, routeTable.size()));
    if (header) {
      header = false;
      continue;
    }
    const auto fields = Fields(line);
    if (fields.size() <= kMask) continue;
    uint32_t destination = 0, flags = 0, mask = 0;
    if (!ParseHex(fields[kDestination], destination) || !ParseHex(fields[kFlags], flags) ||
        !ParseHex(fields[kMask], mask)) {
      continue;
    }
    if (destination == 0 && mask == 0 && (flags & kRouteUp) != 0) {
      interfaces.emplace_back(fields[kIface]);
    }
  }
  return interfaces;
}

int NetworkBearer::BearerIsUp() {
  for (const std::string& name : DefaultRouteInterfaces(routes_.RouteTable())) {
    if (routes_.InterfaceIsUp(name)) return 1;
  }
  return 0;
}

int NetworkBearer::EstablishBearer() {
  const Millis deadline = time_.Now() + kEstablishTimeout;
  for (;;) {
    if (BearerIsUp() != 0) return 1;
    const Millis left = deadline - time_.Now();
    if (left.count() <= 0) return 0;
    time_.Sleep(std::min(left, kPollPeriod));
  }
}

}  // namespace corvane
