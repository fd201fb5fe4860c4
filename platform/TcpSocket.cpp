#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane {

namespace {

// Waits for a non-blocking connect to finish, at most `timeout`; returns 0 or
// the errno value of the failure (ETIMEDOUT when the time ran out).
int AwaitConnect(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd entry{fd, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
  }
}

}  // namespace

TcpSocket::~TcpSocket() {
  Close();
}

bool TcpSocket::Create() {
  Close();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    lastError_ = errno;
    return false;
  }
  timeval sendTimeout{};
  sendTimeout.tv_sec = kSendTimeout.count();
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  // Sends into a dead link keep succeeding until the send buffer is full;
  // this makes data left unacknowledged for as long fail the connection
  // (ETIMEDOUT) instead of after the kernel's quarter-hour of retries.
  const unsigned unacknowledged =
      static_cast<unsigned>(std::chrono::milliseconds(kSendTimeout).count());
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
  // A fixed send buffer, the size Winsock's was: left to autotune, it grows to
  // megabytes in front of a caster that reads slower than the stream, and the
  // relay then delivers ever older corrections for many minutes before its
  // own buffer drops any. Bounded, a slow caster holds the sender up within
  // seconds, and the relay buffer drops the oldest bytes, as it is meant to.
  const int sendBuffer = kSendBuffer;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  fd_ = fd;
  return true;
}

bool TcpSocket::Connect(uint32_t address, uint16_t port) {
  const int fd = fd_;
  if (fd < 0) {
    lastError_ = EBADF;
    return false;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;

  // Non-blocking only for the connect, so that its wait can be bounded.
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int error = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) error = AwaitConnect(fd, kConnectTimeout);
  }
  ::fcntl(fd, F_SETFL, flags);
  if (error != 0) {
    lastError_ = error;
    return false;
  }
  return true;
}

int TcpSocket::Send(const uint8_t* bytes, int count) {
  const int fd = fd_;
  if (fd < 0) {
    lastError_ = EBADF;
    return -1;
  }
  for (;;) {
    const ssize_t sent = ::send(fd, bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    lastError_ = errno;
    return -1;
  }
}

void TcpSocket::Shutdown() {
  std::lock_guard lock(closeLock_);
  const int fd = fd_;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void TcpSocket::Close() {
  std::lock_guard lock(closeLock_);
  const int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

bool TcpSocket::IsValid() const {
  return fd_ >= 0;
}

int TcpSocket::LastError() const {
  return lastError_;
}

uint32_t InetAddr(std::string_view text) {
  char terminated[64];
  if (text.size() >= sizeof terminated) return INADDR_NONE;
  std::memcpy(terminated, text.data(), text.size());
  terminated[text.size()] = '\0';
  return ::inet_addr(terminated);
}

}  // namespace corvane
