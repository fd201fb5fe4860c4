// The event log as the lower layers see it: a stamped line for the operator
// (file and list) and an untimed line for the file alone.
#pragma once

#include <string_view>

namespace corvane {

class EventLog {
 public:
  virtual ~EventLog() = default;
  // Stamps the text with the local time, appends it to log.txt and shows it on
  // top of the event list. From a worker it returns once the line is shown.
  virtual void LogEvent(std::string_view text) = 0;
  // Appends the text and CR LF to log.txt, without a stamp.
  virtual void AppendLogFile(std::string_view text) = 0;
};

}  // namespace corvane
