// Diagnostics the operator does not see: the debug output behind TraceLine
// (stderr, only when CORVANE_TRACE=1) and the console output of the receiver
// and decoder code (stdout).
#pragma once

#include <string_view>

namespace corvane {

// True when CORVANE_TRACE=1 was set when the process started.
bool TraceEnabled();

// Writes the text as it stands (texts carry their own line ends). Costs one
// branch when tracing is off.
void TraceLine(std::string_view text);

// The formatted console prints of the receiver code; nobody reads them.
void ConsolePrint(std::string_view text);

}  // namespace corvane
