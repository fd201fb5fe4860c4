// A GpsReceiver on stand-ins: a channel that records what the receiver object
// writes and when it is stopped, a decoder that writes a line at each configuration, a
// clock that is never the host's, and scaled time that remembers which thread
// paused how long.
#pragma once

#include <atomic>
#include <cerrno>
#include <mutex>

#include "ComLink.h"
#include "fixtures/StubSerialDevice.h"
#include "platform/SerialDevice.h"
#include "receiver/GpsReceiver.h"

namespace corvane::testing {

// One text for everything a command set does, in order: the bytes each write
// put out, and each pause as "<100>" (milliseconds). A test compares it whole,
// so a wrong byte, a missing pause or a pause in the wrong place all show.
struct TranscriptTime final : TimeSource {
  explicit TranscriptTime(std::string& text) : text(text) {}
  Millis Now() override { return Millis(0); }
  void Sleep(Millis duration) override { text += "<" + std::to_string(duration.count()) + ">"; }
  bool Wait(AutoResetEvent&, Millis) override { return false; }  // the command sets never wait
  std::string& text;
};

// A port that puts its writes into the text; the write attempt numbered
// `failWrite` (0 first) fails.
struct TranscriptDevice final : StubSerialDevice {
  explicit TranscriptDevice(std::string& text, int failWrite = -1)
      : text(text), failWrite(failWrite) {}
  int Write(const uint8_t* bytes, int count) override {
    if (failWrite-- == 0) return -1;
    text.append(reinterpret_cast<const char*>(bytes), count);
    return count;
  }
  int LastError() const override { return EIO; }

  std::string& text;
  int failWrite;
};

// Items several threads add, each access under the lock.
template <typename T>
class Locked {
 public:
  void Add(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
  }
  std::vector<T> Get() {
    std::lock_guard lock(mutex_);
    return items_;
  }

 private:
  std::mutex mutex_;
  std::vector<T> items_;
};

using Lines = Locked<std::string>;

inline TextSink Into(Lines& lines) {
  return [&lines](std::string_view text) { lines.Add(std::string(text)); };
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
  void Note(const std::string& pause) { pauses_.Add({std::this_thread::get_id(), pause}); }
  ScaledTimeSource inner_;
  Locked<std::pair<std::thread::id, std::string>> pauses_;
};

class FakeChannel final : public SerialChannel {
 public:
  explicit FakeChannel(TimeSource& time) : SerialChannel(time), time_(time) {}

  std::function<void()> onStop;  // runs inside Stop, before the port closes
  std::atomic<bool> open{false};
  Lines writes;
  Locked<Millis> stopTimes;

  bool Open(int, uint32_t) override { return open = true; }
  bool StartWorkers() override { return open; }
  void Stop() override {
    if (onStop) onStop();
    stopTimes.Add(time_.Now());
    open = false;
  }
  int32_t Write(const uint8_t* bytes, int32_t count) override {
    Into(writes)(std::string_view(reinterpret_cast<const char*>(bytes), count));
    return count;
  }
  size_t Stops() { return stopTimes.Get().size(); }

 private:
  TimeSource& time_;
};

// A decoder whose every receiver configuration writes one "CONFIG\r\n" line
// and pauses 150 ms.
struct ScriptedDecoder final : PositionDecoder {
  explicit ScriptedDecoder(TimeSource& time) : time(time) {}
  int32_t Decode(const uint8_t*, int32_t) override { return 0; }
  bool ConfigureReceiver(ByteWriter& out) override {
    out.Write(reinterpret_cast<const uint8_t*>("CONFIG\r\n"), 8);
    time.Sleep(Millis(150));
    return true;
  }
  TimeSource& time;
};

// Refuses years before 1970 as the host does; never touches the host's clock.
struct FakeClock final : Clock {
  CalendarTime LocalNow() override { return {}; }
  int SetUtc(const CalendarTime& t) override {
    set.push_back(t);
    return t.Year >= 1970 ? 0 : EINVAL;
  }
  std::vector<CalendarTime> set;  // only the test thread adjusts the time
};

// A GpsReceiver on a FakeChannel and ScriptedDecoders, in scaled time.
struct ReceiverRig {
  explicit ReceiverRig(double factor = 1000) : time(factor) {
    auto owned = std::make_unique<FakeChannel>(time);
    channel = owned.get();
    receiver = std::make_unique<GpsReceiver>(
        std::move(owned), time, clock, DiagnosticSinks{Into(traces), Into(console)},
        [this](int32_t, SharedPositionFix& sharedFix, TimeSource& time) {
          fix = &sharedFix;
          return std::make_unique<ScriptedDecoder>(time);
        });
  }
  RecordingScaledTime time;
  FakeClock clock;
  Lines traces, console;
  SharedPositionFix* fix = nullptr;
  FakeChannel* channel = nullptr;
  std::unique_ptr<GpsReceiver> receiver;  // last: destroyed first
};

}  // namespace corvane::testing
