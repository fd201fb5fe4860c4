// Test parts for the uplink: a scripted relay port and a real socket that cuts
// its sends short and shows when one is blocked.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "config/Settings.h"
#include "fixtures/Doubles.h"
#include "fixtures/Loopback.h"
#include "fixtures/Process.h"
#include "platform/SerialDevice.h"
#include "platform/TcpSocket.h"

namespace corvane::testing {

inline Settings CasterAt(uint16_t port, std::string_view password = "pw",
                         std::string_view mount = "M") {
  Settings settings;
  settings.CasterAddress = "127.0.0.1";
  settings.Port = port;
  settings.PassWord = password;
  settings.Mount = mount;
  return settings;
}

// A relay port reading a script: each Read returns the next step, its bytes or
// a failure with its error. With the script used up a Read waits for Close or
// the next step, as a silent port does; with `repeat` the last step comes
// again and again, as from a streaming receiver.
class ScriptedPort final : public StubSerialDevice {
 public:
  void Add(std::string bytes, int error = 0) {
    std::lock_guard lock(mutex_);
    script_.emplace_back(std::move(bytes), error);
    changed_.notify_all();
  }

  int Read(uint8_t* buffer, int capacity) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !open || !script_.empty(); });
    const auto [bytes, error] = open ? script_.front() : Step{{}, kAborted};
    if (open && (!repeat || script_.size() > 1)) script_.pop_front();
    lastError_ = error;
    if (error != 0) return -1;
    const int count = std::min(capacity, static_cast<int>(bytes.size()));
    std::copy_n(bytes.data(), count, buffer);
    return count;
  }
  void Close() override {
    std::lock_guard lock(mutex_);
    open = false;
    changed_.notify_all();
  }
  int LastError() const override { return lastError_; }

  std::atomic<bool> repeat{false};

 private:
  using Step = std::pair<std::string, int>;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Step> script_;
  std::atomic<int> lastError_ = 0;
};

// A real TCP socket whose sends may be cut short, and that shows when one is
// blocked. Set sendLimit before the sender starts.
class RecordingSocket final : public StreamSocket {
 public:
  int sendLimit = 0;  // most bytes one send takes; 0: no limit
  std::atomic<int> sends{0};

  bool Create() override { return real_.Create(); }
  bool Connect(uint32_t address, uint16_t port) override { return real_.Connect(address, port); }
  int Send(const uint8_t* bytes, int count) override {
    ++sends;
    sendingSince_ = std::chrono::steady_clock::now().time_since_epoch().count();
    const int sent = real_.Send(bytes, sendLimit > 0 ? std::min(count, sendLimit) : count);
    sendingSince_ = 0;
    return sent;
  }
  void Shutdown() override { real_.Shutdown(); }
  void Close() override { real_.Close(); }
  bool IsValid() const override { return real_.IsValid(); }
  int LastError() const override { return real_.LastError(); }
  // True while a send has waited longer than `span`; from any thread.
  bool BlockedFor(std::chrono::steady_clock::duration span) const {
    const int64_t since = sendingSince_;
    return since != 0 &&
           std::chrono::steady_clock::now().time_since_epoch().count() - since > span.count();
  }

 private:
  TcpSocket real_;
  std::atomic<int64_t> sendingSince_{0};
};

}  // namespace corvane::testing
