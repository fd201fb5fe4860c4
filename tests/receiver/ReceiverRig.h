// Stand-ins for the GpsReceiver's collaborators: a channel that records what
// the receiver object writes and delivers what a test feeds it, a decoder that
// counts configurations and reports a fix on cue, a clock that is never the
// host's, and scaled time that remembers which thread slept how long.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decode/PositionDecoder.h"
#include "platform/Clock.h"
#include "platform/TimeSource.h"
#include "receiver/GpsReceiver.h"
#include "receiver/RecordingSerialDevice.h"
#include "receiver/SerialChannel.h"

namespace corvane::testing {

// Waits on the host's clock until `condition` holds or `deadline` passes.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class RecordingScaledTime final : public TimeSource {
 public:
  explicit RecordingScaledTime(double factor) : inner_(factor) {}
  Millis Now() override { return inner_.Now(); }
  void Sleep(Millis duration) override {
    {
      std::lock_guard lock(mutex_);
      sleeps_.emplace_back(std::this_thread::get_id(), duration);
    }
    inner_.Sleep(duration);
  }
  bool Wait(AutoResetEvent& event, Millis timeout) override {
    const bool signalled = inner_.Wait(event, timeout);
    std::lock_guard lock(mutex_);
    waits_.push_back({std::this_thread::get_id(), timeout, signalled});
    return signalled;
  }

  struct WaitRecord {
    std::thread::id Thread;
    Millis Timeout;
    bool Signalled;
  };
  // The waits of the given length, in order.
  std::vector<WaitRecord> WaitsOf(Millis timeout) {
    std::lock_guard lock(mutex_);
    std::vector<WaitRecord> result;
    for (const WaitRecord& wait : waits_) {
      if (wait.Timeout == timeout) result.push_back(wait);
    }
    return result;
  }

  std::vector<Millis> SleepsOn(std::thread::id thread) {
    std::lock_guard lock(mutex_);
    std::vector<Millis> result;
    for (const auto& [id, duration] : sleeps_) {
      if (id == thread) result.push_back(duration);
    }
    return result;
  }
  void ForgetSleeps() {
    std::lock_guard lock(mutex_);
    sleeps_.clear();
  }

 private:
  ScaledTimeSource inner_;
  std::mutex mutex_;
  std::vector<std::pair<std::thread::id, Millis>> sleeps_;
  std::vector<WaitRecord> waits_;
};

class FakeChannel final : public SerialChannel {
 public:
  struct Written {
    Millis At;
    std::string Bytes;
  };

  explicit FakeChannel(TimeSource& time)
      : SerialChannel(time), time_(time), device_(std::make_shared<RecordingSerialDevice>(time)) {}

  std::function<void()> onStop;  // runs inside Stop, before the port closes
  std::atomic<bool> openSucceeds{true};

  std::shared_ptr<SerialDevice> Handle() const override {
    std::lock_guard lock(mutex_);
    return open_ ? device_ : nullptr;
  }
  bool Open(int port, uint32_t) override {
    std::lock_guard lock(mutex_);
    lastPort_ = port;
    open_ = openSucceeds.load();
    return open_;
  }
  bool StartWorkers() override {
    std::lock_guard lock(mutex_);
    return open_;
  }
  void Stop() override {
    if (onStop) onStop();
    std::lock_guard lock(mutex_);
    ++stops_;
    stopTimes_.push_back(time_.Now());
    open_ = false;
  }
  int32_t Write(const uint8_t* bytes, int32_t count) override {
    std::lock_guard lock(mutex_);
    writes_.push_back({time_.Now(), std::string(reinterpret_cast<const char*>(bytes), count)});
    return count;
  }
  int32_t Read(uint8_t* buffer, int32_t capacity) override {
    std::lock_guard lock(mutex_);
    const size_t count = std::min(pending_.size(), static_cast<size_t>(capacity));
    std::copy_n(pending_.begin(), count, buffer);
    pending_.erase(0, count);
    return static_cast<int32_t>(count);
  }

  // Bytes the receiver "sends"; the next Read delivers them.
  void Feed(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    pending_ += bytes;
  }
  void PretendOpen() {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  std::vector<Written> Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  std::vector<std::string> WrittenLines() const {
    std::vector<std::string> lines;
    for (const Written& write : Writes()) lines.push_back(write.Bytes);
    return lines;
  }
  int Stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
  }
  std::vector<Millis> StopTimes() const {
    std::lock_guard lock(mutex_);
    return stopTimes_;
  }
  int LastPort() const {
    std::lock_guard lock(mutex_);
    return lastPort_;
  }

 private:
  TimeSource& time_;
  std::shared_ptr<SerialDevice> device_;
  mutable std::mutex mutex_;
  bool open_ = false;
  int stops_ = 0;
  int lastPort_ = 0;
  std::vector<Millis> stopTimes_;
  std::vector<Written> writes_;
  std::string pending_;
};

// What the scripted decoders of one test saw.
struct DecoderRecord {
  std::mutex mutex;
  std::atomic<int> configurations{0};
  std::vector<size_t> chunks;
  std::string bytes;
  bool configureResult = true;
  // Runs at the start of each configuration, with its number (1 first).
  std::function<void(int)> onConfigure;
};

// Configures with one "CONFIG\r\n" line and a 150 ms pause; reports fix
// quality 1 once the text "FIX" has arrived.
class ScriptedDecoder final : public PositionDecoder {
 public:
  ScriptedDecoder(SharedPositionFix& fix, TimeSource& time, DecoderRecord& record)
      : fix_(fix), time_(time), record_(record) {}

  int32_t Decode(const uint8_t* bytes, int32_t count) override {
    bool fixed = false;
    {
      std::lock_guard lock(record_.mutex);
      record_.chunks.push_back(static_cast<size_t>(count));
      record_.bytes.append(reinterpret_cast<const char*>(bytes), count);
      fixed = record_.bytes.find("FIX") != std::string::npos;
    }
    if (fixed) {
      fix_.Modify([](PositionFix& fix) {
        fix.FixQuality = 1;
        fix.Latitude = 31.5;
      });
    }
    return 0;
  }
  bool ConfigureReceiver(ByteWriter& channel) override {
    const int number = ++record_.configurations;
    if (record_.onConfigure) record_.onConfigure(number);
    static constexpr char kLine[] = "CONFIG\r\n";
    channel.Write(reinterpret_cast<const uint8_t*>(kLine), sizeof kLine - 1);
    time_.Sleep(Millis(150));
    return record_.configureResult;
  }

 private:
  SharedPositionFix& fix_;
  TimeSource& time_;
  DecoderRecord& record_;
};

// Accepts any valid calendar date; never touches the host's clock.
class FakeClock final : public Clock {
 public:
  CalendarTime LocalNow() override { return {}; }
  int SetUtc(const CalendarTime& time) override {
    std::lock_guard lock(mutex_);
    set_.push_back(time);
    const bool valid = time.Year >= 1970 && time.Month >= 1 && time.Month <= 12 && time.Day >= 1 &&
                       time.Day <= 31 && time.Hour <= 23 && time.Minute <= 59 && time.Second <= 60;
    return valid ? 0 : EINVAL;
  }
  std::vector<CalendarTime> Set() {
    std::lock_guard lock(mutex_);
    return set_;
  }

 private:
  std::mutex mutex_;
  std::vector<CalendarTime> set_;
};

// Texts written to the debug and console outputs, from any thread.
struct SinkRecord {
  std::mutex mutex;
  std::vector<std::string> traces;
  std::vector<std::string> console;

  DiagnosticSinks Sinks() {
    return {[this](std::string_view text) {
              std::lock_guard lock(mutex);
              traces.emplace_back(text);
            },
            [this](std::string_view text) {
              std::lock_guard lock(mutex);
              console.emplace_back(text);
            }};
  }
  std::vector<std::string> Traces() {
    std::lock_guard lock(mutex);
    return traces;
  }
  std::vector<std::string> Console() {
    std::lock_guard lock(mutex);
    return console;
  }
};

// A GpsReceiver on a FakeChannel and ScriptedDecoders, in scaled time.
struct ReceiverRig {
  explicit ReceiverRig(double factor = 1000) : time(factor) {
    auto owned = std::make_unique<FakeChannel>(time);
    channel = owned.get();
    receiver = std::make_unique<GpsReceiver>(
        std::move(owned), time, clock, sinks.Sinks(),
        [this](int32_t board, SharedPositionFix& sharedFix, TimeSource& source) {
          boards.push_back(board);
          fix = &sharedFix;
          return std::make_unique<ScriptedDecoder>(sharedFix, source, decoder);
        });
  }

  RecordingScaledTime time;
  FakeClock clock;
  SinkRecord sinks;
  DecoderRecord decoder;
  std::vector<int32_t> boards;
  SharedPositionFix* fix = nullptr;
  FakeChannel* channel = nullptr;
  std::unique_ptr<GpsReceiver> receiver;  // last: destroyed first
};

}  // namespace corvane::testing
