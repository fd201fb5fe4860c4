// Start-up of the socket layer. Linux sockets need no library start-up; what
// stays is that a send to a closed peer must never raise SIGPIPE, and the
// result keeps the application's failure paths for a platform that can fail.
#pragma once

namespace corvane {

enum class SocketStartup {
  Ok,
  FrameworkFailed,  // the application framework's socket start-up failed
  StartupFailed,    // the socket library did not start
  VersionRefused,   // the library started without the version asked for
};

SocketStartup StartSocketLibrary();
void StopSocketLibrary();

}  // namespace corvane
