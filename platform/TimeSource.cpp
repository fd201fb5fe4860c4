#include "platform/TimeSource.h"

#include <thread>

namespace corvane {

void AutoResetEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void AutoResetEvent::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool AutoResetEvent::TryConsume() {
  std::lock_guard lock(mutex_);
  const bool was = signalled_;
  signalled_ = false;
  return was;
}

bool AutoResetEvent::WaitReal(std::chrono::steady_clock::duration real) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, real, [this] { return signalled_; })) return false;
  signalled_ = false;
  return true;
}

Millis SteadyTimeSource::Now() {
  return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now().time_since_epoch());
}

void SteadyTimeSource::Sleep(Millis duration) {
  std::this_thread::sleep_for(duration);
}

bool SteadyTimeSource::Wait(AutoResetEvent& event, Millis timeout) {
  return event.WaitReal(timeout);
}

ScaledTimeSource::ScaledTimeSource(double factor)
    : factor_(factor), origin_(std::chrono::steady_clock::now()) {}

Millis ScaledTimeSource::Now() {
  const auto real = std::chrono::steady_clock::now() - origin_;
  return Millis(
      static_cast<int64_t>(std::chrono::duration<double, std::milli>(real).count() * factor_));
}

std::chrono::steady_clock::duration ScaledTimeSource::ToReal(Millis duration) const {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double, std::milli>(static_cast<double>(duration.count()) / factor_));
}

void ScaledTimeSource::Sleep(Millis duration) {
  std::this_thread::sleep_for(ToReal(duration));
}

bool ScaledTimeSource::Wait(AutoResetEvent& event, Millis timeout) {
  return event.WaitReal(ToReal(timeout));
}

TimeSource& SteadyTime() {
  static SteadyTimeSource source;
  return source;
}

}  // namespace corvane
