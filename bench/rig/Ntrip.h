// The two ends of an NTRIP stream that the benches time: a client that pulls
// a mount point from a caster, and a caster that reads a server's stream more
// slowly than it comes. Both record every byte with the time it arrived.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::bench {

using Clock = std::chrono::steady_clock;

// Bytes as they arrived, with their times: appended by one thread, read by
// any.
class ArrivalRecord {
 public:
  void Append(const char* bytes, size_t count, Clock::time_point at);
  size_t Size() const;
  std::string Bytes(size_t from, size_t to) const;
  // When the byte at `offset` had arrived; max() when it has not.
  Clock::time_point ArrivalOf(size_t offset) const;

 private:
  mutable std::mutex mutex_;
  std::string bytes_;
  // One pair per read: one past its last byte, and when it came.
  std::vector<std::pair<size_t, Clock::time_point>> arrivals_;
};

// An NTRIP 1.0 client of a caster on 127.0.0.1 (GET /mount).
class NtripTap {
 public:
  NtripTap() = default;
  ~NtripTap();
  NtripTap(const NtripTap&) = delete;
  NtripTap& operator=(const NtripTap&) = delete;

  bool Connect(uint16_t port, std::string_view mount);
  void Stop();
  const ArrivalRecord& Record() const { return record_; }

 private:
  void Receive();

  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  ArrivalRecord record_;
};

// A caster on 127.0.0.1 that takes one NTRIP 1.0 server stream (SOURCE with
// the password and mount) and reads it at `bytesPerSecond` at most. What it
// leaves waits in the kernel's buffers until they are full; the relay feeding
// it meets the back-pressure only then.
class SlowCaster {
 public:
  SlowCaster(std::string password, std::string mount, int bytesPerSecond);
  ~SlowCaster();
  SlowCaster(const SlowCaster&) = delete;
  SlowCaster& operator=(const SlowCaster&) = delete;

  // 0 when it could not listen.
  uint16_t Port() const { return port_; }
  bool SourceUp() const { return sourceUp_; }
  void Stop();
  const ArrivalRecord& Record() const { return record_; }

 private:
  void Serve();
  bool Admit(int peer);
  void ReadSlowly(int peer);

  std::string password_;
  std::string mount_;
  int bytesPerSecond_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> sourceUp_{false};
  std::thread thread_;
  ArrivalRecord record_;
};

}  // namespace corvane::bench
