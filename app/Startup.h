// What the application shows and does when its socket start-up fails, and the
// texts of the main window's status labels.
#pragma once

#include <string>

#include "config/MessageBox.h"
#include "config/Settings.h"
#include "platform/SocketLibrary.h"

namespace corvane {

inline constexpr char kAppTitle[] = "Corvane V2.5";
inline constexpr char kAppName[] = "Corvane";
inline constexpr char kAttributionLine[] = "Corvane NTRIP base station uplink for Linux";

// Shows the failure's message box; true when the application may go on.
// A refused version also stops the library again before the end.
bool AcceptSocketStartup(SocketStartup result, MessageBoxes& boxes);

// The short name of a correction format after the mount point; empty for an
// unknown format.
std::string DiffTypeName(int32_t diffType);

struct StatusLabels {
  std::string Caster;  // control 1009
  std::string Mount;   // control 1010
  std::string Port;    // control 1011
};

StatusLabels FormatStatusLabels(const Settings& settings);

}  // namespace corvane
