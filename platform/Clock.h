// The device clock: local time for the event stamps, and setting the clock
// from the receiver's fix.
#pragma once

namespace corvane {

struct CalendarTime {
  int Year = 0;
  int Month = 0;  // 1-12
  int Day = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual CalendarTime LocalNow() = 0;
  // Sets the system clock to the given UTC time. Returns 0, or the error
  // number: EINVAL for a time that is not a valid date, else what the OS said
  // (EPERM without the right to set the clock).
  virtual int SetUtc(const CalendarTime& time) = 0;
};

// The host's clock (localtime_r, clock_settime).
class SystemClock final : public Clock {
 public:
  CalendarTime LocalNow() override;
  int SetUtc(const CalendarTime& time) override;
};

}  // namespace corvane
