#include "platform/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace corvane {

namespace {

int RemainingMillis(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::unique_ptr<PseudoTerminal> PseudoTerminal::Create(int* error) {
  int ignored = 0;
  int& err = error != nullptr ? *error : ignored;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    err = errno;
    return nullptr;
  }
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0) {
    err = errno;
    ::close(master);
    return nullptr;
  }
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    err = errno;
    ::close(master);
    return nullptr;
  }
  termios tio{};
  if (::tcgetattr(slave, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  err = 0;
  return std::unique_ptr<PseudoTerminal>(new PseudoTerminal(master, slave, name));
}

PseudoTerminal::PseudoTerminal(int master, int slave, std::string slavePath)
    : master_(master), slave_(slave), slavePath_(std::move(slavePath)) {}

PseudoTerminal::~PseudoTerminal() {
  CloseMaster();
  ::close(slave_);
}

void PseudoTerminal::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

int PseudoTerminal::Read(uint8_t* buffer, int capacity, Millis timeout) {
  if (master_ < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const ssize_t n = ::read(master_, buffer, static_cast<size_t>(capacity));
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return -1;
    const int wait = RemainingMillis(deadline);
    if (wait == 0) return 0;
    pollfd fd{master_, POLLIN, 0};
    ::poll(&fd, 1, wait);
  }
}

int PseudoTerminal::Write(const uint8_t* bytes, int count, Millis timeout) {
  if (master_ < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int written = 0;
  while (written < count) {
    const ssize_t n = ::write(master_, bytes + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return written > 0 ? written : -1;
    const int wait = RemainingMillis(deadline);
    if (wait == 0) break;
    pollfd fd{master_, POLLOUT, 0};
    ::poll(&fd, 1, wait);
  }
  return written;
}

}  // namespace corvane
