#include "app/Startup.h"

#include <array>
#include <cstdio>

#include "platform/CodePage.h"

namespace corvane {

bool AcceptSocketStartup(SocketStartup result, MessageBoxes& boxes) {
  switch (result) {
    case SocketStartup::Ok:
      return true;
    case SocketStartup::FrameworkFailed:
      boxes.Show(u"Windows sockets initialization failed.", AnsiToWide(kAppName),
                 MessageButtons::Ok, MessageIcon::Exclamation);
      return false;
    case SocketStartup::StartupFailed:
      boxes.Show(u"Could not init network access.\n", u"Error", MessageButtons::Ok,
                 MessageIcon::None);
      return false;
    case SocketStartup::VersionRefused:
      boxes.Show(u"Could not init Winsocket 2.2\n", u"Error", MessageButtons::Ok,
                 MessageIcon::None);
      StopSocketLibrary();
      return false;
  }
  return false;
}

std::string DiffTypeName(int32_t diffType) {
  static constexpr std::array<const char*, 6> kNames = {"CMR",    "CMR+",  "RTD",
                                                        "RTCM23", "RTCM3", "RTCM32"};
  if (diffType < 0 || diffType >= static_cast<int32_t>(kNames.size())) return "";
  return kNames[static_cast<size_t>(diffType)];
}

StatusLabels FormatStatusLabels(const Settings& settings) {
  char text[160];
  StatusLabels labels;
  std::snprintf(text, sizeof text, "%s  %s", settings.Mount.c_str(),
                DiffTypeName(settings.DiffType).c_str());
  labels.Mount = text;
  std::snprintf(text, sizeof text, "%s  %d", settings.SerialPort.c_str(), settings.SerialPortRate);
  labels.Port = text;
  std::snprintf(text, sizeof text, "%s:%d", settings.CasterAddress.c_str(), settings.Port);
  labels.Caster = text;
  return labels;
}

}  // namespace corvane
