#include "app/ui/UiTimeSource.h"

#include <QTimer>
#include <cmath>

namespace corvane {

UiTimeSource::UiTimeSource(QThread* uiThread, double factor)
    : uiThread_(uiThread), factor_(factor), scaled_(factor) {}

Millis UiTimeSource::Now() {
  return scaled_.Now() + Millis(skipped_.load());
}

std::chrono::milliseconds UiTimeSource::RealPeriod(Millis period) const {
  return std::chrono::milliseconds(std::llround(static_cast<double>(period.count()) / factor_));
}

void UiTimeSource::Sleep(Millis duration) {
  if (ending_) {
    skipped_ += duration.count();
    return;
  }
  if (QThread::currentThread() != uiThread_) {
    scaled_.Sleep(duration);
    return;
  }
  QEventLoop loop;
  QTimer::singleShot(RealPeriod(duration), Qt::PreciseTimer, &loop, &QEventLoop::quit);
  sleeping_.push_back(&loop);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  sleeping_.pop_back();
}

void UiTimeSource::EndSleeps() {
  ending_ = true;
  for (QEventLoop* loop : sleeping_) loop->quit();
}

bool UiTimeSource::Wait(AutoResetEvent& event, Millis timeout) {
  return scaled_.Wait(event, timeout);
}

}  // namespace corvane
