// corvane-caster: a local NTRIP 1.0 caster for the demo and the end-to-end
// tests. It takes one server stream (the SOURCE request for the configured
// mount point and password) on 127.0.0.1, writes what arrives to a file,
// prints a line of statistics each second (with the RTCM 3 message types the
// source sent in it) and passes the stream on to NTRIP 1.0 clients (GET
// /mount), so that an independent client can pull it.
//
// One thread and one poll loop; SIGINT and SIGTERM arrive through a signalfd
// and end the loop cleanly. A connection that has not finished its request
// within 10 s is dropped, and when descriptors run out the caster stops
// accepting until one is freed, so that silent peers cannot lock the source
// out or keep the loop spinning.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/caster/CasterProtocol.h"
#include "tools/common/Rtcm3Inventory.h"

namespace corvane::caster {
namespace {

// A client that falls this far behind the stream is dropped.
constexpr size_t kMaxClientBacklog = 1 << 20;
constexpr size_t kReadChunk = 16384;
constexpr std::chrono::seconds kRequestTimeout{10};

using Clock = std::chrono::steady_clock;

struct Options {
  uint16_t port = 2101;
  std::string mount;
  std::string password;
  std::string out;
};

enum class Role { Pending, Source, Client };

struct Connection {
  int fd = -1;
  Role role = Role::Pending;
  std::string received;  // request header while pending
  std::string backlog;   // stream bytes a client has not taken yet
  bool closing = false;
  Clock::time_point accepted;
};

void Usage() {
  std::fprintf(stderr,
               "usage: corvane-caster --mount NAME [--password TEXT] [--out FILE] [--port N]\n"
               "  listens on 127.0.0.1:N (default 2101; 0 picks a free port and prints it)\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (name == "--port") {
      char* end = nullptr;
      const long port = std::strtol(value, &end, 10);
      if (*value == '\0' || *end != '\0' || port < 0 || port > 65535) return false;
      options.port = static_cast<uint16_t>(port);
    } else if (name == "--mount") {
      options.mount = BareMount(value);
    } else if (name == "--password") {
      options.password = value;
    } else if (name == "--out") {
      options.out = value;
    } else {
      return false;
    }
  }
  return !options.mount.empty();
}

// Writes what it can without blocking; false when the peer is gone.
bool SendSome(Connection& connection, std::string_view bytes, size_t& sent) {
  sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(connection.fd, bytes.data() + sent, bytes.size() - sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  return true;
}

// "1004,1005,1012", or "-" when none.
std::string TypeList(const std::set<uint32_t>& types) {
  std::string list;
  for (const uint32_t type : types) {
    if (!list.empty()) list += ',';
    list += std::to_string(type);
  }
  return list.empty() ? "-" : list;
}

void SendReply(Connection& connection, std::string_view reply) {
  size_t sent = 0;
  static_cast<void>(SendSome(connection, reply, sent));
}

class Caster {
 public:
  Caster(Options options, int listener, int signals, int out)
      : options_(std::move(options)), listener_(listener), signals_(signals), out_(out) {}

  int Run() {
    const auto start = Clock::now();
    auto nextStats = start + std::chrono::seconds(1);
    for (;;) {
      // A paused listener stays out of the poll, which would otherwise
      // report it ready at once, again and again.
      std::vector<pollfd> entries{{acceptPaused_ ? -1 : listener_, POLLIN, 0},
                                  {signals_, POLLIN, 0}};
      auto wake = nextStats;
      for (const Connection& connection : connections_) {
        short events = POLLIN;
        if (!connection.backlog.empty()) events |= POLLOUT;
        entries.push_back({connection.fd, events, 0});
        if (connection.role == Role::Pending) {
          wake = std::min(wake, connection.accepted + kRequestTimeout);
        }
      }
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
      const int ready = ::poll(entries.data(), entries.size(),
                               static_cast<int>(std::max<int64_t>(0, wait.count())));
      if (ready < 0 && errno != EINTR) {
        std::perror("poll");
        return 1;
      }
      if (ready > 0) {
        if ((entries[1].revents & POLLIN) != 0) break;
        size_t index = 2;
        for (Connection& connection : connections_) {
          const short revents = entries[index++].revents;
          if ((revents & POLLOUT) != 0) Flush(connection);
          if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) Receive(connection);
        }
        if ((entries[0].revents & POLLIN) != 0) Accept();
      }
      DropLateRequests(Clock::now());
      Reap();
      if (Clock::now() >= nextStats) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(nextStats - start).count();
        std::printf("t=%lld source=%s bytes=%llu rate=%llu clients=%zu types=%s\n",
                    static_cast<long long>(seconds), HasSource() ? "up" : "none",
                    static_cast<unsigned long long>(total_),
                    static_cast<unsigned long long>(total_ - lastTotal_), ClientCount(),
                    TypeList(inventory_.TakeRecentTypes()).c_str());
        std::fflush(stdout);
        lastTotal_ = total_;
        nextStats += std::chrono::seconds(1);
        // Descriptors may also have been freed outside this process.
        acceptPaused_ = false;
      }
    }
    for (Connection& connection : connections_) ::close(connection.fd);
    std::printf("stopped bytes=%llu\n", static_cast<unsigned long long>(total_));
    std::fflush(stdout);
    return 0;
  }

 private:
  bool HasSource() const {
    for (const Connection& connection : connections_) {
      if (connection.role == Role::Source && !connection.closing) return true;
    }
    return false;
  }

  size_t ClientCount() const {
    size_t count = 0;
    for (const Connection& connection : connections_) {
      if (connection.role == Role::Client && !connection.closing) ++count;
    }
    return count;
  }

  void Accept() {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // Out of descriptors or memory the connection stays queued; accepting
      // resumes once a connection closes or at the next statistics tick.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        acceptPaused_ = true;
      }
      return;
    }
    connections_.emplace_back();
    connections_.back().fd = fd;
    connections_.back().accepted = Clock::now();
  }

  void DropLateRequests(Clock::time_point now) {
    for (Connection& connection : connections_) {
      if (connection.role == Role::Pending && now - connection.accepted >= kRequestTimeout) {
        connection.closing = true;
      }
    }
  }

  void Receive(Connection& connection) {
    char chunk[kReadChunk];
    const ssize_t n = ::recv(connection.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      connection.closing = true;
      return;
    }
    const std::string_view bytes(chunk, static_cast<size_t>(n));
    switch (connection.role) {
      case Role::Source:
        Relay(bytes);
        break;
      case Role::Client:
        break;  // a client's further bytes (NMEA position reports) are not used
      case Role::Pending:
        connection.received.append(bytes);
        Admit(connection);
        break;
    }
  }

  void Admit(Connection& connection) {
    const size_t end = HeaderEnd(connection.received);
    if (end == std::string::npos) {
      if (connection.received.size() > kMaxHeader) connection.closing = true;
      return;
    }
    const Request request = ParseRequest(connection.received);
    const std::string rest = connection.received.substr(end);
    connection.received.clear();
    if (request.kind == RequestKind::Source) {
      if (request.password != options_.password) {
        SendReply(connection, kBadPassword);
        connection.closing = true;
      } else if (request.mount != options_.mount) {
        SendReply(connection, kBadMount);
        connection.closing = true;
      } else if (HasSource()) {
        SendReply(connection, kMountTaken);
        connection.closing = true;
      } else {
        SendReply(connection, kOk);
        connection.role = Role::Source;
        inventory_ = rtcm3::Inventory{};
        if (!rest.empty()) Relay(rest);
      }
    } else if (request.kind == RequestKind::Client && request.mount == options_.mount) {
      SendReply(connection, kOk);
      connection.role = Role::Client;
    } else {
      SendReply(connection, SourceTable(options_.mount));
      connection.closing = true;
    }
  }

  void Relay(std::string_view bytes) {
    total_ += bytes.size();
    inventory_.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    if (out_ >= 0) {
      size_t written = 0;
      while (written < bytes.size()) {
        const ssize_t n = ::write(out_, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          std::perror("write");
          break;
        }
        written += static_cast<size_t>(n);
      }
    }
    for (Connection& client : connections_) {
      if (client.role != Role::Client || client.closing) continue;
      client.backlog.append(bytes);
      Flush(client);
    }
  }

  void Flush(Connection& client) {
    size_t sent = 0;
    if (!SendSome(client, client.backlog, sent)) {
      client.closing = true;
      return;
    }
    client.backlog.erase(0, sent);
    if (client.backlog.size() > kMaxClientBacklog) client.closing = true;
  }

  void Reap() {
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->closing) {
        ::close(it->fd);
        acceptPaused_ = false;
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }

  Options options_;
  int listener_;
  int signals_;
  int out_;
  std::list<Connection> connections_;
  uint64_t total_ = 0;
  uint64_t lastTotal_ = 0;
  bool acceptPaused_ = false;
  rtcm3::Inventory inventory_;  // of the current source's stream
};

int Listen(uint16_t port, uint16_t& bound) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) return -1;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  bound = ntohs(address.sin_port);
  return fd;
}

int Main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return 2;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  ::signal(SIGPIPE, SIG_IGN);

  int out = -1;
  if (!options.out.empty()) {
    out = ::open(options.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
      std::perror(options.out.c_str());
      return 1;
    }
  }
  uint16_t bound = 0;
  const int listener = Listen(options.port, bound);
  if (listener < 0 || signals < 0) {
    std::perror("listen");
    return 1;
  }
  std::printf("listening 127.0.0.1:%u mount /%s\n", static_cast<unsigned>(bound),
              options.mount.c_str());
  std::fflush(stdout);

  const int result = Caster(options, listener, signals, out).Run();
  ::close(listener);
  ::close(signals);
  if (out >= 0) ::close(out);
  return result;
}

}  // namespace
}  // namespace corvane::caster

int main(int argc, char** argv) {
  return corvane::caster::Main(argc, argv);
}
