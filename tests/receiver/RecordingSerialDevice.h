// A serial device that records every write with the time it happened at, and
// can be told to fail or shorten one write, for golden-byte and pause checks.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"
#include "platform/TimeSource.h"

namespace corvane::testing {

class RecordingSerialDevice final : public SerialDevice {
 public:
  struct Written {
    Millis At;
    std::string Bytes;
  };

  explicit RecordingSerialDevice(TimeSource& time) : time_(time) {}

  // The write with this index (0-based, counting attempts) fails, or takes
  // only `accepted` bytes when that is not negative.
  void FailWrite(int index, int accepted = -1) {
    failIndex_ = index;
    failAccepted_ = accepted;
  }

  const std::vector<Written>& Writes() const { return writes_; }
  std::string AllBytes() const {
    std::string all;
    for (const Written& write : writes_) all += write.Bytes;
    return all;
  }

  bool SetLineState(const LineState&) override { return true; }
  bool GetTimeouts(SerialTimeouts&) override { return true; }
  bool SetTimeouts(const SerialTimeouts&) override { return true; }
  bool SetQueueSizes(uint32_t, uint32_t) override { return true; }
  bool ClearErrors() override { return true; }
  bool Purge() override { return true; }
  bool PurgeReceive() override { return true; }
  bool ClearBreak() override { return true; }
  int Read(uint8_t*, int) override { return 0; }
  int Write(const uint8_t* bytes, int count) override {
    const int index = attempts_++;
    if (index == failIndex_) {
      if (failAccepted_ < 0) {
        lastError_ = EIO;
        return -1;
      }
      count = failAccepted_;
    }
    writes_.push_back({time_.Now(), std::string(reinterpret_cast<const char*>(bytes), count)});
    return count;
  }
  void Close() override {}
  bool IsOpen() const override { return true; }
  int LastError() const override { return lastError_; }

 private:
  TimeSource& time_;
  std::vector<Written> writes_;
  int attempts_ = 0;
  int failIndex_ = -1;
  int failAccepted_ = -1;
  int lastError_ = 0;
};

}  // namespace corvane::testing
