// A real TCP socket that records each send as a separate piece, so a test can
// see how the bytes were split into sends as well as what reached the peer.
// It can also take only part of each send, or fail a given send, to script
// the link's faults.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/TcpSocket.h"

namespace corvane::testing {

class RecordingSocket final : public StreamSocket {
 public:
  // At most this many bytes are taken per send (0: no limit).
  void LimitSendSize(int limit) { sendLimit_ = limit; }
  // The send with this index (0 = first) fails with `error`, and so do all
  // later ones; -1: none fails.
  void FailFromSend(int index, int error) {
    failFrom_ = index;
    failError_ = error;
  }
  // Nothing is connected: sends are only recorded.
  void Detach() {
    std::lock_guard lock(mutex_);
    detached_ = true;
    valid_ = true;
  }

  bool Create() override {
    std::lock_guard lock(mutex_);
    return detached_ ? (valid_ = true) : real_.Create();
  }
  bool Connect(uint32_t address, uint16_t port) override {
    return detached_ ? true : real_.Connect(address, port);
  }
  int Send(const uint8_t* bytes, int count) override {
    std::lock_guard lock(mutex_);
    if (failFrom_ >= 0 && static_cast<int>(sends_.size()) >= failFrom_) {
      sends_.emplace_back();
      lastError_ = failError_;
      return -1;
    }
    if (sendLimit_ > 0 && count > sendLimit_) count = sendLimit_;
    int sent = count;
    if (!detached_) {
      sent = real_.Send(bytes, count);
      if (sent < 0) {
        lastError_ = real_.LastError();
        sends_.emplace_back();
        return -1;
      }
    }
    sends_.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(sent));
    return sent;
  }
  void Shutdown() override { real_.Shutdown(); }
  void Close() override {
    std::lock_guard lock(mutex_);
    valid_ = false;
    real_.Close();
  }
  bool IsValid() const override {
    std::lock_guard lock(mutex_);
    return detached_ ? valid_ : real_.IsValid();
  }
  int LastError() const override {
    std::lock_guard lock(mutex_);
    return lastError_ != 0 ? lastError_ : real_.LastError();
  }

  std::vector<std::string> Sends() {
    std::lock_guard lock(mutex_);
    return sends_;
  }
  std::string SentBytes() {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const std::string& piece : sends_) all += piece;
    return all;
  }

 private:
  mutable std::mutex mutex_;
  TcpSocket real_;
  std::vector<std::string> sends_;
  int sendLimit_ = 0;
  int failFrom_ = -1;
  int failError_ = 0;
  int lastError_ = 0;
  bool detached_ = false;
  bool valid_ = false;
};

}  // namespace corvane::testing
