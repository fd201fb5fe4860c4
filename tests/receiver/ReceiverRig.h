// A GpsReceiver on stand-ins: a channel that records what the receiver object
// writes and when it is stopped, a decoder that counts its configurations, a
// clock that is never the host's, and scaled time that remembers which thread
// paused how long.
#pragma once

#include <atomic>
#include <cerrno>
#include <mutex>

#include "ComLink.h"
#include "Transcript.h"
#include "receiver/GpsReceiver.h"

namespace corvane::testing {

// A value several threads touch, each access under its lock.
template <typename T>
class Locked {
 public:
  template <typename F>
  auto With(F f) {
    std::lock_guard lock(mutex_);
    return f(value_);
  }
  T Get() {
    return With([](T& value) { return value; });
  }

 private:
  std::mutex mutex_;
  T value_{};
};

using Lines = Locked<std::vector<std::string>>;

inline TextSink Into(Lines& lines) {
  return [&lines](std::string_view text) { lines.With([&](auto& l) { l.emplace_back(text); }); };
}

// Scaled time that keeps what each thread asked for, in order: a sleep as
// "150", a wait as "wait 15000", with " signalled" when its event came.
class RecordingScaledTime final : public TimeSource {
 public:
  explicit RecordingScaledTime(double factor) : inner_(factor) {}
  Millis Now() override { return inner_.Now(); }
  void Sleep(Millis duration) override {
    Note(std::to_string(duration.count()));
    inner_.Sleep(duration);
  }
  bool Wait(AutoResetEvent& event, Millis timeout) override {
    const bool signalled = inner_.Wait(event, timeout);
    Note("wait " + std::to_string(timeout.count()) + (signalled ? " signalled" : ""));
    return signalled;
  }
  std::vector<std::string> On(std::thread::id thread) {
    std::vector<std::string> result;
    for (const auto& [id, pause] : pauses_.Get())
      if (id == thread) result.push_back(pause);
    return result;
  }
  // The first thread that asked for `pause`.
  std::thread::id ThreadOf(const std::string& pause) {
    for (const auto& [id, text] : pauses_.Get())
      if (text == pause) return id;
    return {};
  }

 private:
  void Note(const std::string& pause) {
    pauses_.With([&](auto& all) { all.emplace_back(std::this_thread::get_id(), pause); });
  }
  ScaledTimeSource inner_;
  Locked<std::vector<std::pair<std::thread::id, std::string>>> pauses_;
};

class FakeChannel final : public SerialChannel {
 public:
  explicit FakeChannel(TimeSource& time) : SerialChannel(time), time_(time) {}

  std::function<void()> onStop;  // runs inside Stop, before the port closes
  std::atomic<bool> openSucceeds{true};
  std::atomic<bool> open{false};
  Lines writes;
  Locked<std::vector<Millis>> stopTimes;

  std::shared_ptr<SerialDevice> Handle() const override { return open ? device_ : nullptr; }
  bool Open(int, uint32_t) override { return open = openSucceeds.load(); }
  bool StartWorkers() override { return open; }
  void Stop() override {
    if (onStop) onStop();
    stopTimes.With([&](auto& times) { times.push_back(time_.Now()); });
    open = false;
  }
  int32_t Write(const uint8_t* bytes, int32_t count) override {
    Into(writes)(std::string_view(reinterpret_cast<const char*>(bytes), count));
    return count;
  }
  size_t Stops() { return stopTimes.Get().size(); }

 private:
  TimeSource& time_;
  std::string unused_;
  std::shared_ptr<SerialDevice> device_ = std::make_shared<TranscriptDevice>(unused_);
};

// A decoder whose receiver configuration is the given function.
struct ScriptedDecoder final : PositionDecoder {
  explicit ScriptedDecoder(std::function<bool(ByteWriter&)> configure) : configure(configure) {}
  int32_t Decode(const uint8_t*, int32_t) override { return 0; }
  bool ConfigureReceiver(ByteWriter& channel) override { return configure(channel); }
  std::function<bool(ByteWriter&)> configure;
};

// Refuses years before 1970 as the host does; never touches the host's clock.
struct FakeClock final : Clock {
  CalendarTime LocalNow() override { return {}; }
  int SetUtc(const CalendarTime& t) override {
    set.With([&](auto& all) { all.push_back(t); });
    return t.Year >= 1970 ? 0 : EINVAL;
  }
  Locked<std::vector<CalendarTime>> set;
};

// A GpsReceiver on a FakeChannel and ScriptedDecoders, in scaled time.
struct ReceiverRig {
  explicit ReceiverRig(double factor = 1000) : time(factor) {
    auto owned = std::make_unique<FakeChannel>(time);
    channel = owned.get();
    receiver = std::make_unique<GpsReceiver>(
        std::move(owned), time, clock, DiagnosticSinks{Into(traces), Into(console)},
        [this](int32_t, SharedPositionFix& sharedFix, TimeSource&) {
          fix = &sharedFix;
          return std::make_unique<ScriptedDecoder>(
              [this](ByteWriter& out) { return Configure(out); });
        });
  }
  // Each configuration writes one "CONFIG\r\n" line and pauses 150 ms.
  bool Configure(ByteWriter& out) {
    const int number = ++configurations;
    if (onConfigure) onConfigure(number);
    out.Write(reinterpret_cast<const uint8_t*>("CONFIG\r\n"), 8);
    time.Sleep(Millis(150));
    return configureResult;
  }

  RecordingScaledTime time;
  FakeClock clock;
  Lines traces, console;
  std::atomic<int> configurations{0};
  bool configureResult = true;
  std::function<void(int)> onConfigure;  // with the configuration's number, 1 first
  SharedPositionFix* fix = nullptr;
  FakeChannel* channel = nullptr;
  std::unique_ptr<GpsReceiver> receiver;  // last: destroyed first
};

}  // namespace corvane::testing
