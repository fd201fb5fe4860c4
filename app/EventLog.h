// The operator's event log: each line stamped with the local time, appended
// to log.txt and shown on top of the main window's event list.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/EventFile.h"
#include "platform/EventLog.h"

namespace corvane {

// Where a stamped line is shown (the main window's list). Called on the
// logging thread; a window hands the line to its own thread and returns once
// the line is shown.
class LogLineSink {
 public:
  virtual ~LogLineSink() = default;
  virtual void ShowLogLine(const std::u16string& line) = 0;
};

// Longest formatted line in bytes, stamp included, and longest list line in
// UTF-16 units.
inline constexpr size_t kMaxLogLine = 255;

// "[%2d/%2d-%02d:%02d:%02d] %s" with month, day, hour, minute, second: no year,
// month and day padded with spaces. Cut to kMaxLogLine bytes.
std::string FormatLogLine(const CalendarTime& time, std::string_view text);

class StampedEventLog final : public EventLog {
 public:
  StampedEventLog(EventFile& file, Clock& clock) : file_(file), clock_(clock) {}

  // The list the lines go to; null while there is none.
  void SetSink(LogLineSink* sink) { sink_.store(sink); }

  void LogEvent(std::string_view text) override;
  void AppendLogFile(std::string_view text) override { file_.Append(text); }

 private:
  EventFile& file_;
  Clock& clock_;
  std::atomic<LogLineSink*> sink_{nullptr};
};

}  // namespace corvane
