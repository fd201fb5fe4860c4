#include "platform/Clock.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace corvane {

namespace {

std::chrono::year_month_day DateOf(const CalendarTime& time) {
  return std::chrono::year{time.Year} / std::chrono::month{static_cast<unsigned>(time.Month)} /
         std::chrono::day{static_cast<unsigned>(time.Day)};
}

std::chrono::sys_seconds InstantOf(const CalendarTime& time) {
  return std::chrono::sys_days(DateOf(time)) + std::chrono::hours(time.Hour) +
         std::chrono::minutes(time.Minute) + std::chrono::seconds(time.Second);
}

}  // namespace

bool IsValidCalendarTime(const CalendarTime& time) {
  // Out-of-range months and days must not wrap inside the unsigned chrono
  // types, so they are refused before the calendar is asked.
  if (time.Year < 1970 || time.Year > 9999 || time.Month < 1 || time.Month > 12 || time.Day < 1 ||
      time.Day > 31) {
    return false;
  }
  return DateOf(time).ok() && time.Hour >= 0 && time.Hour <= 23 && time.Minute >= 0 &&
         time.Minute <= 59 && time.Second >= 0 && time.Second <= 60;
}

CalendarTime ShiftCalendarTime(const CalendarTime& time, int64_t seconds) {
  const std::chrono::sys_seconds moved = InstantOf(time) + std::chrono::seconds(seconds);
  const std::chrono::sys_days day = std::chrono::floor<std::chrono::days>(moved);
  const std::chrono::year_month_day date(day);
  const std::chrono::hh_mm_ss clock(moved - day);
  return {static_cast<int>(date.year()),
          static_cast<int>(unsigned(date.month())),
          static_cast<int>(unsigned(date.day())),
          static_cast<int>(clock.hours().count()),
          static_cast<int>(clock.minutes().count()),
          static_cast<int>(clock.seconds().count())};
}

CalendarTime SystemClock::LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

int SystemClock::SetUtc(const CalendarTime& time) {
  if (!setAllowed_) return EPERM;
  // timegm would quietly turn 30 February into 1 March: refuse instead.
  if (!IsValidCalendarTime(time)) return EINVAL;
  const timespec value{static_cast<time_t>(InstantOf(time).time_since_epoch().count()), 0};
  return clock_settime(CLOCK_REALTIME, &value) == 0 ? 0 : errno;
}

bool SystemClock::ClockSettingAllowed() {
  const char* value = std::getenv("CORVANE_SET_CLOCK");
  return value == nullptr || std::strcmp(value, "0") != 0;
}

}  // namespace corvane
