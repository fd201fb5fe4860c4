#include "bench/rig/Ntrip.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tests/fixtures/Loopback.h"
#include "tools/caster/CasterProtocol.h"

namespace corvane::bench {

namespace {

using namespace std::chrono_literals;
using testing::Loopback;

// Waits up to `timeout` for the descriptor to be readable.
bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

void ArrivalRecord::Append(const char* bytes, size_t count, Clock::time_point at) {
  if (count == 0) return;
  std::lock_guard lock(mutex_);
  bytes_.append(bytes, count);
  arrivals_.emplace_back(bytes_.size(), at);
}

size_t ArrivalRecord::Size() const {
  std::lock_guard lock(mutex_);
  return bytes_.size();
}

std::string ArrivalRecord::Bytes(size_t from, size_t to) const {
  std::lock_guard lock(mutex_);
  from = std::min(from, bytes_.size());
  return bytes_.substr(from, std::min(to, bytes_.size()) - from);
}

Clock::time_point ArrivalRecord::ArrivalOf(size_t offset) const {
  std::lock_guard lock(mutex_);
  const auto it = std::upper_bound(
      arrivals_.begin(), arrivals_.end(), offset,
      [](size_t value, const std::pair<size_t, Clock::time_point>& a) { return value < a.first; });
  return it == arrivals_.end() ? Clock::time_point::max() : it->second;
}

NtripTap::~NtripTap() {
  Stop();
}

bool NtripTap::Connect(uint16_t port, std::string_view mount) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  const std::string request =
      "GET /" + std::string(mount) + " HTTP/1.0\r\nUser-Agent: NTRIP corvane-bench\r\n\r\n";
  if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) < 0) return false;
  thread_ = std::thread([this] { Receive(); });
  return true;
}

void NtripTap::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void NtripTap::Receive() {
  const std::string_view ok = caster::kOk;
  size_t replySeen = 0;
  char chunk[16384];
  while (!stop_) {
    if (!Readable(fd_, 50ms)) continue;
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    const auto now = Clock::now();
    const size_t skip = std::min(ok.size() - replySeen, static_cast<size_t>(n));
    replySeen += skip;
    record_.Append(chunk + skip, static_cast<size_t>(n) - skip, now);
  }
}

SlowCaster::SlowCaster(std::string password, std::string mount, int bytesPerSecond)
    : password_(std::move(password)), mount_(std::move(mount)), bytesPerSecond_(bytesPerSecond) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 1) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

SlowCaster::~SlowCaster() {
  Stop();
  ::close(listener_);
}

void SlowCaster::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void SlowCaster::Serve() {
  while (!stop_) {
    if (!Readable(listener_, 50ms)) continue;
    const int peer = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) continue;
    if (Admit(peer)) ReadSlowly(peer);
    ::close(peer);
  }
}

// Reads the request; answers and keeps what followed it when it is the
// expected source.
bool SlowCaster::Admit(int peer) {
  std::string header;
  const auto deadline = Clock::now() + 10s;
  char chunk[512];
  while (caster::HeaderEnd(header) == std::string::npos) {
    if (stop_ || Clock::now() > deadline || header.size() > caster::kMaxHeader) return false;
    if (!Readable(peer, 50ms)) continue;
    const ssize_t n = ::recv(peer, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    header.append(chunk, static_cast<size_t>(n));
  }
  const size_t end = caster::HeaderEnd(header);
  const caster::Request request = caster::ParseRequest(header.substr(0, end));
  if (request.kind != caster::RequestKind::Source || request.password != password_ ||
      request.mount != caster::BareMount(mount_)) {
    return false;
  }
  ::send(peer, caster::kOk.data(), caster::kOk.size(), MSG_NOSIGNAL);
  record_.Append(header.data() + end, header.size() - end, Clock::now());
  return true;
}

// Takes no more than the rate allows, every 10 ms. Credit that a quiet
// stream leaves unused is capped at a tenth of a second's worth, so that the
// reader never catches up faster than the rate.
void SlowCaster::ReadSlowly(int peer) {
  sourceUp_ = true;
  const double cap = bytesPerSecond_ / 10.0;
  double credit = 0;
  auto last = Clock::now();
  char chunk[16384];
  while (!stop_) {
    std::this_thread::sleep_for(10ms);
    const auto now = Clock::now();
    credit =
        std::min(cap, credit + std::chrono::duration<double>(now - last).count() * bytesPerSecond_);
    last = now;
    const size_t budget = std::min(sizeof chunk, static_cast<size_t>(credit));
    if (budget == 0) continue;
    const ssize_t n = ::recv(peer, chunk, budget, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    if (n < 0) continue;
    credit -= static_cast<double>(n);
    record_.Append(chunk, static_cast<size_t>(n), Clock::now());
  }
  sourceUp_ = false;
}

}  // namespace corvane::bench
