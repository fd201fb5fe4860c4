#include "platform/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace corvane {

namespace {

int g_writeEnd = -1;

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(g_writeEnd, &byte, 1);
}

}  // namespace

int TerminationSignalFd() {
  static const int readEnd = [] {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    g_writeEnd = ends[1];
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return ends[0];
  }();
  return readEnd;
}

void DrainTerminationSignals(int fd) {
  char buffer[64];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace corvane
