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

void StampedEventLog::LogEvent(std::string_view text) {
  const std::string line = FormatLogLine(clock_.LocalNow(), text);
  file_.Append(line);
  if (LogLineSink* sink = sink_.load()) {
    std::u16string wide = AnsiToWide(line);
    if (wide.size() > kMaxLogLine) wide.resize(kMaxLogLine);
    sink->ShowLogLine(wide);
  }
}

}  // namespace corvane
