#include "platform/Clock.h"

#include <cerrno>
#include <ctime>

namespace corvane {

CalendarTime SystemClock::LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

int SystemClock::SetUtc(const CalendarTime& time) {
  if (time.Year < 1970 || time.Month < 1 || time.Month > 12 || time.Day < 1 || time.Day > 31 ||
      time.Hour < 0 || time.Hour > 23 || time.Minute < 0 || time.Minute > 59 || time.Second < 0 ||
      time.Second > 60) {
    return EINVAL;
  }
  std::tm utc{};
  utc.tm_year = time.Year - 1900;
  utc.tm_mon = time.Month - 1;
  utc.tm_mday = time.Day;
  utc.tm_hour = time.Hour;
  utc.tm_min = time.Minute;
  utc.tm_sec = time.Second;
  const std::time_t seconds = timegm(&utc);
  if (seconds == static_cast<std::time_t>(-1)) return EINVAL;
  const timespec value{seconds, 0};
  return clock_settime(CLOCK_REALTIME, &value) == 0 ? 0 : errno;
}

}  // namespace corvane
