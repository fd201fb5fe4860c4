// The operator's event log: each line stamped with the local time, appended
// to log.txt and shown on top of the main window's event list.
//
// A line logged on the window's (UI) thread is shown at once. A worker's line
// is handed to the UI thread, and the worker waits until it is shown, so the
// list never runs behind what the workers did. The UI thread must never wait
// for a worker that may be waiting here: Detach releases every waiting worker
// (their lines then reach the file only), and the window detaches before it
// goes, so no worker ever touches a window that has gone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/Clock.h"
#include "platform/EventFile.h"
#include "platform/EventLog.h"

namespace corvane {

// Where a stamped line is shown (the main window's list).
class LogLineSink {
 public:
  virtual ~LogLineSink() = default;
  // On the UI thread: puts the line on top of the list.
  virtual void ShowLogLine(const std::u16string& line) = 0;
  // From any thread, without blocking: asks the UI thread to call
  // StampedEventLog::ShowPendingLines soon.
  virtual void WakeUi() = 0;
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

  // On the UI thread: lines go to `sink` from now on; the calling thread is
  // the one that shows them.
  void Attach(LogLineSink& sink);
  // On the UI thread: lines reach the file only from now on, and every worker
  // waiting for its line to be shown returns.
  void Detach();
  // On the UI thread: shows every line the workers handed over, oldest first.
  void ShowPendingLines();

  void LogEvent(std::string_view text) override;
  void AppendLogFile(std::string_view text) override { file_.Append(text); }

 private:
  struct Pending {
    uint64_t Ticket;
    std::u16string Line;
  };

  EventFile& file_;
  Clock& clock_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable shown_;
  LogLineSink* sink_ = nullptr;
  std::thread::id uiThread_;
  std::deque<Pending> pending_;
  uint64_t lastTicket_ = 0;
  uint64_t shownUpTo_ = 0;  // every ticket up to this one is shown or released
};

}  // namespace corvane
