#include "app/EventLog.h"

#include <cstdio>

#include "platform/CodePage.h"

namespace corvane {

std::string FormatLogLine(const CalendarTime& time, std::string_view text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%2d/%2d-%02d:%02d:%02d] ", time.Month, time.Day, time.Hour,
                time.Minute, time.Second);
  std::string line(stamp);
  const size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  line.append(text.substr(0, kMaxLogLine > line.size() ? kMaxLogLine - line.size() : 0));
  if (line.size() > kMaxLogLine) line.resize(kMaxLogLine);
  return line;
}

void StampedEventLog::Attach(LogLineSink& sink) {
  std::lock_guard lock(mutex_);
  sink_ = &sink;
  uiThread_ = std::this_thread::get_id();
}

void StampedEventLog::Detach() {
  std::lock_guard lock(mutex_);
  sink_ = nullptr;
  pending_.clear();
  shownUpTo_ = lastTicket_;
  shown_.notify_all();
}

void StampedEventLog::ShowPendingLines() {
  std::unique_lock lock(mutex_);
  while (sink_ != nullptr && !pending_.empty()) {
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    LogLineSink* sink = sink_;
    // Shown without the lock, so that workers can hand over lines meanwhile;
    // only this thread detaches, so the sink stays.
    lock.unlock();
    sink->ShowLogLine(next.Line);
    lock.lock();
    shownUpTo_ = std::max(shownUpTo_, next.Ticket);
    shown_.notify_all();
  }
}

void StampedEventLog::LogEvent(std::string_view text) {
  const std::string line = FormatLogLine(clock_.LocalNow(), text);
  file_.Append(line);
  std::u16string wide = AnsiToWide(line);
  if (wide.size() > kMaxLogLine) wide.resize(kMaxLogLine);

  std::unique_lock lock(mutex_);
  if (sink_ == nullptr) return;
  if (std::this_thread::get_id() == uiThread_) {
    LogLineSink* sink = sink_;
    lock.unlock();
    sink->ShowLogLine(wide);
    return;
  }
  const uint64_t ticket = ++lastTicket_;
  pending_.push_back({ticket, std::move(wide)});
  if (pending_.size() == 1) sink_->WakeUi();
  shown_.wait(lock, [&] { return shownUpTo_ >= ticket; });
}

}  // namespace corvane
