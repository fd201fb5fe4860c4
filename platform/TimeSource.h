// The one source of time for every pause, wait and timer period in Corvane.
// Production code runs on the steady clock; tests run the same code on scaled
// or virtual time so that the minute-long paths finish in milliseconds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace corvane {

using Millis = std::chrono::milliseconds;

// An auto-reset event: Set lets exactly one wait through, then the event is
// clear again. A Set with no waiter stays pending until the next wait.
class AutoResetEvent {
 public:
  void Set();
  void Reset();
  // Consumes a pending Set without waiting.
  bool TryConsume();
  // Waits at most `real` on the host's steady clock; true when signalled.
  bool WaitReal(std::chrono::steady_clock::duration real);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

class TimeSource {
 public:
  virtual ~TimeSource() = default;
  // Monotonic time since an arbitrary origin.
  virtual Millis Now() = 0;
  virtual void Sleep(Millis duration) = 0;
  // Waits for the event at most `timeout`; true when it was signalled.
  virtual bool Wait(AutoResetEvent& event, Millis timeout) = 0;
};

// Real time on the steady clock.
class SteadyTimeSource final : public TimeSource {
 public:
  Millis Now() override;
  void Sleep(Millis duration) override;
  bool Wait(AutoResetEvent& event, Millis timeout) override;
};

// Time running `factor` times faster than the steady clock: a 15 s wait with a
// factor of 1000 takes 15 ms. Thread-safe, for tests of threaded paths.
class ScaledTimeSource final : public TimeSource {
 public:
  explicit ScaledTimeSource(double factor);
  Millis Now() override;
  void Sleep(Millis duration) override;
  bool Wait(AutoResetEvent& event, Millis timeout) override;

 private:
  std::chrono::steady_clock::duration ToReal(Millis duration) const;
  double factor_;
  std::chrono::steady_clock::time_point origin_;
};

// The process-wide production time source.
TimeSource& SteadyTime();

}  // namespace corvane
