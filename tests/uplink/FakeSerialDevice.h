// A scripted relay port: each Read returns the next step of the script (a
// chunk, an empty read or a failed read). When the script is used up, a Read
// blocks until Close, as a silent port does, or closes the port itself, or
// the last step repeats for ever, as a streaming receiver does.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "platform/SerialDevice.h"

namespace corvane::testing {

class FakeSerialDevice final : public SerialDevice {
 public:
  struct Step {
    std::string bytes;  // what the read returns
    int error = 0;      // nonzero: the read fails with this error
  };
  enum class AtEnd { Block, Close, Repeat };

  explicit FakeSerialDevice(AtEnd atEnd = AtEnd::Block) : atEnd_(atEnd) {}

  void Add(std::string bytes) { Push(Step{std::move(bytes), 0}); }
  void AddError(int error) { Push(Step{{}, error}); }

  bool SetLineState(const LineState&) override { return true; }
  bool GetTimeouts(SerialTimeouts&) override { return true; }
  bool SetTimeouts(const SerialTimeouts&) override { return true; }
  bool SetQueueSizes(uint32_t, uint32_t) override { return true; }
  bool ClearErrors() override {
    std::lock_guard lock(mutex_);
    ++clearErrors_;
    return true;
  }
  bool Purge() override { return true; }
  bool PurgeReceive() override { return true; }
  bool ClearBreak() override { return true; }

  int Read(uint8_t* buffer, int capacity) override {
    std::unique_lock lock(mutex_);
    ++readsStarted_;
    changed_.notify_all();
    if (script_.empty() && atEnd_ == AtEnd::Close) open_ = false;
    changed_.wait(lock, [this] { return !open_ || !script_.empty(); });
    if (!open_) {
      lastError_ = kAborted;
      return -1;
    }
    Step step = script_.front();
    if (atEnd_ != AtEnd::Repeat || script_.size() > 1) script_.pop_front();
    if (step.error != 0) {
      lastError_ = step.error;
      return -1;
    }
    const int count = std::min(capacity, static_cast<int>(step.bytes.size()));
    std::memcpy(buffer, step.bytes.data(), static_cast<size_t>(count));
    return count;
  }
  int Write(const uint8_t*, int count) override { return count; }

  void Close() override {
    std::lock_guard lock(mutex_);
    open_ = false;
    changed_.notify_all();
  }
  bool IsOpen() const override {
    std::lock_guard lock(mutex_);
    return open_;
  }
  int LastError() const override {
    std::lock_guard lock(mutex_);
    return lastError_;
  }

  int ClearErrorsCalls() {
    std::lock_guard lock(mutex_);
    return clearErrors_;
  }
  // Waits until `count` reads have started (the last one may be blocked).
  bool AwaitReads(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return readsStarted_ >= count; });
  }

 private:
  void Push(Step step) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(step));
    changed_.notify_all();
  }

  const AtEnd atEnd_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Step> script_;
  bool open_ = true;
  int lastError_ = 0;
  int clearErrors_ = 0;
  int readsStarted_ = 0;
};

}  // namespace corvane::testing
