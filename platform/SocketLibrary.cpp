#include "platform/SocketLibrary.h"

#include <csignal>

namespace corvane {

SocketStartup StartSocketLibrary() {
  // Sends use MSG_NOSIGNAL too; ignoring the signal also covers writes that
  // libraries make on our behalf.
  return std::signal(SIGPIPE, SIG_IGN) == SIG_ERR ? SocketStartup::StartupFailed
                                                  : SocketStartup::Ok;
}

void StopSocketLibrary() {}

}  // namespace corvane
