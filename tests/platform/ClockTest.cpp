#include "platform/Clock.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <optional>
#include <string>

namespace corvane {
namespace {

TEST(ClockTest, OnlyRealInstantsAreValidAndShiftsCrossTheCalendar) {
  for (const CalendarTime& time :
       {CalendarTime{2024, 2, 29, 23, 59, 59}, CalendarTime{2016, 12, 31, 23, 59, 60},
        CalendarTime{1970, 1, 1, 0, 0, 0}}) {
    EXPECT_TRUE(IsValidCalendarTime(time)) << time.Year << "-" << time.Month << "-" << time.Day;
  }
  for (const CalendarTime& time :
       {CalendarTime{2024, 2, 30, 0, 0, 0}, CalendarTime{2023, 2, 29, 0, 0, 0},
        CalendarTime{2024, 13, 1, 0, 0, 0}, CalendarTime{2024, 4, 31, 0, 0, 0},
        CalendarTime{2024, 1, 1, 24, 0, 0}, CalendarTime{2024, 1, 1, 0, 60, 0},
        CalendarTime{2024, 1, 1, 0, 0, 61}, CalendarTime{2024, 0, 1, 0, 0, 0},
        CalendarTime{2024, 1, 0, 0, 0, 0}, CalendarTime{1969, 12, 31, 23, 59, 59},
        CalendarTime{0, 0, 0, 0, 0, 0}, CalendarTime{2024, -1, -1, -1, -1, -1}}) {
    EXPECT_FALSE(IsValidCalendarTime(time)) << time.Year << "-" << time.Month << "-" << time.Day;
  }
  EXPECT_EQ(ShiftCalendarTime({2024, 3, 1, 7, 0, 0}, -(8 * 3600 + 18)),
            (CalendarTime{2024, 2, 29, 22, 59, 42}));
  EXPECT_EQ(ShiftCalendarTime({2023, 12, 31, 23, 59, 59}, 1), (CalendarTime{2024, 1, 1, 0, 0, 0}));
}

TEST(ClockTest, SettingCanBeTurnedOff) {
  // Turned off, the host's clock is never reached: not even the date check,
  // which would say EINVAL, runs.
  EXPECT_EQ(SystemClock(false).SetUtc({2024, 2, 30, 12, 0, 0}), EPERM);

  const char* was = std::getenv("CORVANE_SET_CLOCK");
  const std::optional<std::string> before = was ? std::optional<std::string>(was) : std::nullopt;
  ::setenv("CORVANE_SET_CLOCK", "0", 1);
  EXPECT_FALSE(SystemClock::ClockSettingAllowed());
  ::setenv("CORVANE_SET_CLOCK", "1", 1);
  EXPECT_TRUE(SystemClock::ClockSettingAllowed());
  ::unsetenv("CORVANE_SET_CLOCK");
  EXPECT_TRUE(SystemClock::ClockSettingAllowed());
  if (before) ::setenv("CORVANE_SET_CLOCK", before->c_str(), 1);
}

}  // namespace
}  // namespace corvane
