#include "app/EventLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app/Startup.h"
#include "fixtures/Files.h"
#include "fixtures/ScriptedMessageBoxes.h"
#include "fixtures/TempDir.h"

namespace corvane {
namespace {

class FixedClock final : public Clock {
 public:
  CalendarTime LocalNow() override { return now; }
  int SetUtc(const CalendarTime&) override { return EPERM; }
  CalendarTime now{2026, 1, 1, 0, 0, 0};
};

class ListSink final : public LogLineSink {
 public:
  void ShowLogLine(const std::u16string& line) override { lines.insert(lines.begin(), line); }
  void WakeUi() override { ++wakes; }
  std::vector<std::u16string> lines;
  std::atomic<int> wakes{0};
};

template <typename Condition>
void AwaitTrue(Condition condition) {
  for (int i = 0; i < 5000 && !condition(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(condition());
}

TEST(EventLogTest, StampsLinesForFileAndList) {
  EXPECT_EQ(FormatLogLine({2026, 1, 1, 0, 0, 0}, "x"), "[ 1/ 1-00:00:00] x");
  EXPECT_EQ(FormatLogLine({2026, 12, 31, 23, 59, 7}, "x"), "[12/31-23:59:07] x");
  const std::string longLine = FormatLogLine({2026, 1, 1, 0, 0, 0}, std::string(400, 'y'));
  EXPECT_EQ(longLine.size(), kMaxLogLine);

  testing::TempDir dir;
  EventFile file(dir.path() / "log.txt");  // missing: the first line creates it
  FixedClock clock;
  StampedEventLog log(file, clock);
  ListSink list;
  log.LogEvent("before the window");  // file only
  log.Attach(list);
  log.LogEvent("Socket Err:104\r\n");
  log.AppendLogFile("SetCommState Error!\n");
  log.LogEvent("\xe9t\xe9");

  EXPECT_EQ(testing::ReadFileBytes(file.File()),
            "[ 1/ 1-00:00:00] before the window\r\n"
            "[ 1/ 1-00:00:00] Socket Err:104\r\n\r\n"
            "SetCommState Error!\n\r\n"
            "[ 1/ 1-00:00:00] \xe9t\xe9\r\n");
  ASSERT_EQ(list.lines.size(), 2u);
  EXPECT_EQ(list.lines[0], u"[ 1/ 1-00:00:00] \u00e9t\u00e9");
  EXPECT_EQ(list.lines[1], u"[ 1/ 1-00:00:00] Socket Err:104\r\n");
}

TEST(EventLogTest, AFileThatCannotBeWrittenStillFeedsTheList) {
  testing::TempDir dir;
  // A folder where log.txt should be: no open for writing can succeed, even
  // for root, who ignores a write-protected file's mode.
  std::filesystem::create_directory(dir.path() / "log.txt");
  EventFile file(dir.path() / "log.txt");
  FixedClock clock;
  StampedEventLog log(file, clock);
  ListSink list;
  log.Attach(list);
  log.LogEvent("System Init.");
  ASSERT_EQ(list.lines.size(), 1u);
  EXPECT_EQ(list.lines[0], u"[ 1/ 1-00:00:00] System Init.");
}

TEST(EventLogTest, AWorkersLineWaitsForTheUiThreadUntilDetached) {
  testing::TempDir dir;
  EventFile file(dir.path() / "log.txt");
  FixedClock clock;
  StampedEventLog log(file, clock);
  auto list = std::make_unique<ListSink>();
  log.Attach(*list);  // this thread shows the lines

  std::atomic<bool> returned{false};
  std::thread worker([&] {
    log.LogEvent("Socket Send Error: 104");
    returned = true;
  });
  AwaitTrue([&] { return list->wakes == 1; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned);  // not shown yet
  EXPECT_TRUE(list->lines.empty());
  log.ShowPendingLines();
  worker.join();
  ASSERT_EQ(list->lines.size(), 1u);
  EXPECT_EQ(list->lines[0], u"[ 1/ 1-00:00:00] Socket Send Error: 104");

  // Workers keep logging while the window detaches and goes: each returns,
  // none touches the window afterwards, and every line is in the file.
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) {
    workers.emplace_back([&] {
      for (; !stop; ++logged) log.LogEvent("Read Port Error");
    });
  }
  AwaitTrue([&] { return list->wakes >= 2; });
  log.ShowPendingLines();
  log.Detach();
  list.reset();
  const int atDetach = logged;
  AwaitTrue([&] { return logged > atDetach + 20; });
  stop = true;
  for (std::thread& thread : workers) thread.join();
  const std::string text = testing::ReadFileBytes(file.File());
  size_t lines = 0;
  for (size_t at = text.find("Read Port Error"); at != std::string::npos;
       at = text.find("Read Port Error", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(logged.load()));
}

TEST(StartupTest, SocketFailuresShowTheirBoxAndEnd) {
  testing::ScriptedMessageBoxes boxes;
  EXPECT_TRUE(AcceptSocketStartup(SocketStartup::Ok, boxes));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_FALSE(AcceptSocketStartup(SocketStartup::FrameworkFailed, boxes));
  EXPECT_FALSE(AcceptSocketStartup(SocketStartup::StartupFailed, boxes));
  EXPECT_FALSE(AcceptSocketStartup(SocketStartup::VersionRefused, boxes));
  ASSERT_EQ(boxes.shown.size(), 3u);
  EXPECT_EQ(boxes.shown[0].Text, u"Windows sockets initialization failed.");
  EXPECT_EQ(boxes.shown[1].Text, u"Could not init network access.\n");
  EXPECT_EQ(boxes.shown[1].Caption, u"Error");
  EXPECT_EQ(boxes.shown[2].Text, u"Could not init Winsocket 2.2\n");
  EXPECT_EQ(boxes.shown[2].Caption, u"Error");
  EXPECT_EQ(boxes.shown[2].Buttons, MessageButtons::Ok);
}

TEST(StartupTest, StatusLabels) {
  Settings settings;
  settings.CasterAddress = "10.0.0.1";
  settings.Port = 2101;
  settings.Mount = "BASE";
  settings.SerialPort = "COM3";
  settings.SerialPortRate = 115200;
  const char* names[] = {"CMR", "CMR+", "RTD", "RTCM23", "RTCM3", "RTCM32", "", ""};
  for (int32_t type = 0; type < 8; ++type) {
    settings.DiffType = type == 7 ? -1 : type;
    EXPECT_EQ(FormatStatusLabels(settings).Mount, std::string("BASE  ") + names[type]);
  }
  EXPECT_EQ(FormatStatusLabels(settings).Caster, "10.0.0.1:2101");
  EXPECT_EQ(FormatStatusLabels(settings).Port, "COM3  115200");
}

}  // namespace
}  // namespace corvane
