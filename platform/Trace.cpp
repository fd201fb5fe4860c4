#include "platform/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane {

bool TraceEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("CORVANE_TRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return enabled;
}

void TraceLine(std::string_view text) {
  if (!TraceEnabled()) return;
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void ConsolePrint(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace corvane
