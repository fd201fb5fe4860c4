#include "app/ui/UiTimeSource.h"

#include <QEventLoop>
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
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

bool UiTimeSource::Wait(AutoResetEvent& event, Millis timeout) {
  return scaled_.Wait(event, timeout);
}

}  // namespace corvane
