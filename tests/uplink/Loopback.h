// A TCP listener on 127.0.0.1 with a port the kernel picks, standing in for
// the caster: it accepts one connection at a time and collects what arrives,
// always with a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace corvane::testing {

class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(fd_, 4) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~LoopbackListener() {
    CloseConnection();
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }

  // Accepts the next connection; false when none came within the time.
  bool Accept(std::chrono::milliseconds within = std::chrono::milliseconds(5000)) {
    if (!Readable(fd_, within)) return false;
    CloseConnection();
    connection_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
  }

  // Reads until `count` bytes arrived in all, the peer closed, or the time
  // ran out; returns everything received on this connection so far.
  const std::string& ReadUntil(size_t count,
                               std::chrono::milliseconds within = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (received_.size() < count && connection_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Readable(connection_, left)) break;
      char chunk[4096];
      const ssize_t n = ::recv(connection_, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      received_.append(chunk, static_cast<size_t>(n));
    }
    return received_;
  }

  void CloseConnection() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
    received_.clear();
  }

 private:
  static bool Readable(int fd, std::chrono::milliseconds within) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(within.count())) > 0;
  }

  int fd_ = -1;
  int connection_ = -1;
  uint16_t port_ = 0;
  std::string received_;
};

// A port on 127.0.0.1 that nobody listens on: bound, then released.
inline uint16_t UnusedLoopbackPort() {
  LoopbackListener probe;
  return probe.port();
}

}  // namespace corvane::testing
