// The TCP client socket that carries the NTRIP request and the correction
// stream to the caster, over BSD sockets.
//
// The original ran on Winsock with the platform's default time-outs; here no
// call may block forever on a dead link, so connect is bounded by
// kConnectTimeout and every send by kSendTimeout, and data the caster leaves
// unacknowledged for kSendTimeout fails the connection. A send never raises
// SIGPIPE: a caster that drops the connection turns into an error result.
//
// Error numbers: LastError is the errno value of the failed call (for example
// 111 ECONNREFUSED, 101 ENETUNREACH, 110 ETIMEDOUT, 32 EPIPE, 104 ECONNRESET,
// 11 EAGAIN for a send that hit its time-out). They are not translated into
// Winsock numbers (10061 and so on): a translation would have to invent values
// for errors Winsock has no twin for, and the log would then name neither
// platform honestly.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace corvane {

// A stream socket as the handshake and the relay sender use it. Tests wrap or
// replace it to see each send and to script failures.
class StreamSocket {
 public:
  virtual ~StreamSocket() = default;
  // Creates the TCP socket; false when the OS refuses one.
  virtual bool Create() = 0;
  // Connects to an IPv4 address in network byte order and a port in host
  // order (converted as htons does).
  virtual bool Connect(uint32_t address, uint16_t port) = 0;
  // Sends at most `count` bytes; returns the count taken, or -1 with LastError.
  virtual int Send(const uint8_t* bytes, int count) = 0;
  // Wakes a send blocked on this socket (it then fails); any thread may call it.
  virtual void Shutdown() = 0;
  // Closes the socket; idempotent.
  virtual void Close() = 0;
  virtual bool IsValid() const = 0;
  virtual int LastError() const = 0;
};

class TcpSocket final : public StreamSocket {
 public:
  static constexpr std::chrono::seconds kConnectTimeout{20};
  static constexpr std::chrono::seconds kSendTimeout{30};
  // Bytes of send buffer asked for (Linux doubles it for its bookkeeping).
  static constexpr int kSendBuffer = 8192;

  TcpSocket() = default;
  ~TcpSocket() override;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool Create() override;
  bool Connect(uint32_t address, uint16_t port) override;
  int Send(const uint8_t* bytes, int count) override;
  void Shutdown() override;
  void Close() override;
  bool IsValid() const override;
  int LastError() const override;

 private:
  // Close and Shutdown may meet on two threads; the lock keeps a shutdown from
  // reaching a descriptor number the OS has already handed out again.
  mutable std::mutex closeLock_;
  std::atomic<int> fd_{-1};
  std::atomic<int> lastError_{0};
};

// The dotted-address conversion of the original (inet_addr): decimal, octal
// and hexadecimal parts, 1 to 4 of them; anything else, a host name included,
// gives the all-ones broadcast address. Never looks a name up.
uint32_t InetAddr(std::string_view text);

}  // namespace corvane
