// The application's time source: steady time, optionally running `factor`
// times faster (tests of the minute-long paths). A sleep on the UI thread
// keeps the window alive: it runs the event loop without user input (presses
// wait until the sleep's caller returns) until the time is up, so the window
// paints, shows worker log lines and answers the desktop. Other threads sleep
// plainly.
#pragma once

#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <chrono>
#include <vector>

#include "platform/TimeSource.h"

namespace corvane {

class UiTimeSource final : public TimeSource {
 public:
  // `uiThread` is the thread whose sleeps run the event loop.
  explicit UiTimeSource(QThread* uiThread, double factor = 1.0);

  Millis Now() override;
  void Sleep(Millis duration) override;
  bool Wait(AutoResetEvent& event, Millis timeout) override;

  // A timer period in real milliseconds, for the window's timers.
  std::chrono::milliseconds RealPeriod(Millis period) const;
  // On the UI thread, as the application ends: the sleeps under way end now,
  // and from now on every sleep returns at once, its time counted as passed,
  // so that loops bounded by time end at once too.
  void EndSleeps();

 private:
  QThread* uiThread_;
  double factor_;
  ScaledTimeSource scaled_;
  std::atomic<bool> ending_{false};
  std::atomic<int64_t> skipped_{0};    // milliseconds of sleeps cut short by the end
  std::vector<QEventLoop*> sleeping_;  // the UI thread's sleeps under way, innermost last
};

}  // namespace corvane
