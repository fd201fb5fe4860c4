// The small platform pieces: the calendar and the clock switch, the code
// page, the data folder's lock and the event file.
#include <gtest/gtest.h>

#include <fstream>

#include "fixtures/TempDir.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/DataFolder.h"
#include "platform/EventFile.h"

namespace corvane::testing {
namespace {

TEST(ClockTest, OnlyRealInstantsAreValidAndShiftsCrossTheCalendar) {
  const std::pair<CalendarTime, bool> rows[] = {
      {{2024, 2, 29, 23, 59, 59}, true},  {{2016, 12, 31, 23, 59, 60}, true},
      {{1970, 1, 1, 0, 0, 0}, true},      {{2023, 2, 29, 0, 0, 0}, false},
      {{2024, 4, 31, 0, 0, 0}, false},    {{2024, 13, 1, 0, 0, 0}, false},
      {{2024, 1, 1, 24, 0, 0}, false},    {{2024, 1, 1, 0, 60, 0}, false},
      {{1969, 12, 31, 23, 59, 59}, false}};
  for (const auto& [time, valid] : rows) {
    EXPECT_EQ(IsValidCalendarTime(time), valid)
        << time.Year << "-" << time.Month << "-" << time.Day;
  }
  EXPECT_EQ(ShiftCalendarTime({2024, 3, 1, 7, 0, 0}, -(8 * 3600 + 18)),
            (CalendarTime{2024, 2, 29, 22, 59, 42}));
  EXPECT_EQ(ShiftCalendarTime({2023, 12, 31, 23, 59, 59}, 1), (CalendarTime{2024, 1, 1, 0, 0, 0}));
}

TEST(ClockTest, SettingCanBeTurnedOff) {
  // Turned off, the host's clock is never reached: not even the date check,
  // which would say EINVAL, runs.
  EXPECT_EQ(SystemClock(false).SetUtc({2024, 2, 30, 12, 0, 0}), EPERM);
  for (const char* value : {"1", static_cast<const char*>(nullptr), "0"}) {  // ends turned off
    value ? ::setenv("CORVANE_SET_CLOCK", value, 1) : ::unsetenv("CORVANE_SET_CLOCK");
    EXPECT_EQ(SystemClock::ClockSettingAllowed(), value == nullptr || *value == '1');
  }
}

TEST(CodePageTest, Windows1252BothWays) {
  EXPECT_EQ(AnsiToWide("a\x80\xe9\x9f\x81"), u"a\u20ac\u00e9\u0178\u0081");
  EXPECT_EQ(AnsiToWide(std::string_view("ab\0cd", 5)), u"ab");
  EXPECT_EQ(WideToAnsi(u"a\u20ac\u00e9\u0178\u4e2d"), "a\x80\xe9\x9f?");
  char field[4];
  EXPECT_EQ(WideToAnsi(u"ab", field, sizeof field), 3u);
  EXPECT_STREQ(field, "ab");
  EXPECT_EQ(WideToAnsi(u"abcdef", field, sizeof field), 4u);  // full: no room for the terminator
  EXPECT_EQ(std::string(field, 4), "abcd");
}

TEST(DataFolderLockTest, OneHolderAtATimeUntilItEnds) {
  TempDir dir;
  {
    const DataFolderLock first = LockDataFolder(dir.path());
    EXPECT_EQ(first.Result(), DataFolderLock::State::Held);
    EXPECT_EQ(LockDataFolder(dir.path()).Result(), DataFolderLock::State::Busy);
  }
  EXPECT_EQ(LockDataFolder(dir.path()).Result(), DataFolderLock::State::Held);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LockDataFolder(dir.path() / "missing").Result(), DataFolderLock::State::Failed);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "corvane: cannot lock data folder " +
                                                          (dir.path() / "missing").string() +
                                                          ": No such file or directory\n");
}

// Long lines are cut (the event log's test meets the file's creation and its
// CR LF line ends); the file is never written through a symbolic link, which
// is said once.
TEST(EventFileTest, CutsLongLinesAndNeverFollowsALink) {
  TempDir dir;
  EventFile file(dir.path() / "log.txt");
  file.Append(std::string(600, 'x'));
  EXPECT_EQ(ReadFileBytes(file.File()), std::string(EventFile::kMaxLineText, 'x') + "\r\n");

  const auto target = dir.path() / "registry.reg";
  std::ofstream(target) << "kept";
  EventFile linked(dir.path() / "linked.txt");
  std::filesystem::create_symlink(target, linked.File());
  ::testing::internal::CaptureStderr();
  linked.Append("first");
  linked.Append("second");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "corvane: " + linked.File().string() +
                " is a symbolic link; event lines are not written to it\n");
  EXPECT_EQ(ReadFileBytes(target), "kept");
  EXPECT_TRUE(std::filesystem::is_symlink(linked.File()));
}

}  // namespace
}  // namespace corvane::testing
