// The device clock: local time for the event stamps, and setting the clock
// from the receiver's fix.
#pragma once

#include <cstdint>

namespace corvane {

struct CalendarTime {
  int Year = 0;
  int Month = 0;  // 1-12
  int Day = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;

  bool operator==(const CalendarTime&) const = default;
};

// True when the fields name a real instant: the day exists in its month and
// year, hours 0-23, minutes 0-59, seconds 0-60 (60 for a leap second), and
// the year is 1970 or later.
bool IsValidCalendarTime(const CalendarTime& time);

// `time` moved by `seconds` (either sign), across days, months and years.
// Only for a valid time.
CalendarTime ShiftCalendarTime(const CalendarTime& time, int64_t seconds);

class Clock {
 public:
  virtual ~Clock() = default;
  virtual CalendarTime LocalNow() = 0;
  // Sets the system clock to the given UTC time. Returns 0, or the error
  // number: EINVAL for a time that is not a valid date, EPERM when clock
  // setting is turned off, else what the OS said (EPERM without the right to
  // set the clock).
  virtual int SetUtc(const CalendarTime& time) = 0;
};

// The host's clock (localtime_r, clock_settime). With `setAllowed` false,
// SetUtc refuses without touching the clock.
class SystemClock final : public Clock {
 public:
  explicit SystemClock(bool setAllowed = ClockSettingAllowed()) : setAllowed_(setAllowed) {}
  CalendarTime LocalNow() override;
  int SetUtc(const CalendarTime& time) override;

  // False when CORVANE_SET_CLOCK=0: a host with its own time service, a
  // demo or a test must never have its clock set.
  static bool ClockSettingAllowed();

 private:
  bool setAllowed_;
};

}  // namespace corvane
