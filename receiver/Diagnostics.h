// Where the receiver code's diagnostics go: the debug output and the console
// output. Production passes the platform's sinks; tests pass recorders so they
// can check every text. Both sinks may be called from worker threads, which
// the UI thread joins: a sink must never wait for the UI thread.
#pragma once

#include <functional>
#include <string_view>

#include "platform/Trace.h"

namespace corvane {

using TextSink = std::function<void(std::string_view)>;

struct DiagnosticSinks {
  TextSink Trace = TraceLine;
  TextSink Console = ConsolePrint;
};

}  // namespace corvane
