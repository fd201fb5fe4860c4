// The event log's stamped lines in the file and the list, the names of the
// correction formats, and the transfer statistics.
#include "app/EventLog.h"

#include <gtest/gtest.h>

#include <clocale>

#include "app/AnsweringMessageBoxes.h"
#include "app/Startup.h"
#include "app/TransferStatistics.h"
#include "fixtures/Doubles.h"
#include "fixtures/TempDir.h"

namespace corvane::testing {
namespace {

class ListSink final : public LogLineSink {
 public:
  void ShowLogLine(const std::u16string& line) override { lines.insert(lines.begin(), line); }
  void WakeUi() override {}
  std::vector<std::u16string> lines;
};

TEST(EventLogTest, StampsLinesForFileAndListAndFeedsTheListWhenTheFileFails) {
  EXPECT_EQ(FormatLogLine({2026, 12, 31, 23, 59, 7}, "x"), "[12/31-23:59:07] x");
  EXPECT_EQ(FormatLogLine({2026, 1, 1, 0, 0, 0}, std::string(400, 'y')).size(), kMaxLogLine);
  TempDir dir;
  FakeClock clock;
  clock.now = {2026, 1, 1, 0, 0, 0};
  EventFile file{dir.path() / "log.txt"};  // missing: the first line creates it
  StampedEventLog log{file, clock};
  ListSink list;
  log.LogEvent("before the window");  // file only
  log.Attach(list);
  log.LogEvent("Socket Err:104\r\n");
  log.AppendLogFile("SetCommState Error!\n");
  log.LogEvent("\xe9t\xe9");
  EXPECT_EQ(ReadFileBytes(file.File()),
            "[ 1/ 1-00:00:00] before the window\r\n"
            "[ 1/ 1-00:00:00] Socket Err:104\r\n\r\n"
            "SetCommState Error!\n\r\n"
            "[ 1/ 1-00:00:00] \xe9t\xe9\r\n");
  EXPECT_EQ(list.lines, (std::vector<std::u16string>{u"[ 1/ 1-00:00:00] \u00e9t\u00e9",
                                                     u"[ 1/ 1-00:00:00] Socket Err:104\r\n"}));

  // A folder where the file should be: no open for writing can succeed, even
  // for root, who ignores a write-protected file's mode.
  EventFile folder{dir.path()};
  StampedEventLog unwritable{folder, clock};
  ListSink shown;
  unwritable.Attach(shown);
  unwritable.LogEvent("System Init.");
  EXPECT_EQ(shown.lines, std::vector<std::u16string>{u"[ 1/ 1-00:00:00] System Init."});
}

// Unattended nobody would answer a box and the run would wait for ever: once
// told, every box is answered OK at once, and what it said goes to the log.
TEST(AnsweringMessageBoxesTest, OnceToldEveryBoxIsAnsweredOkAndLogged) {
  ScriptedMessageBoxes screen;
  screen.answers = {MessageResult::Cancel};
  RecordingEventLog log;
  AnsweringMessageBoxes boxes(screen, log);
  EXPECT_EQ(boxes.Show(u"Exit?", u"Prompt", MessageButtons::OkCancel, MessageIcon::Question),
            MessageResult::Cancel);
  boxes.AnswerAtOnce();
  EXPECT_EQ(boxes.Show(u"Please check your Network!", u"Prompt", MessageButtons::OkCancel,
                       MessageIcon::Exclamation),
            MessageResult::Ok);
  EXPECT_EQ(screen.shown.size(), 1u);
  EXPECT_EQ(log.Events(), std::vector<std::string>{
                              R"(Message box "Prompt": Please check your Network! (answered OK))"});
}

// A format number out of the table's range, as a stored setting may hold,
// names none.
TEST(StartupTest, FormatNamesWithinTheTableOnly) {
  EXPECT_EQ(std::tuple(DiffTypeName(-1), DiffTypeName(5), DiffTypeName(6)),
            std::tuple("", "RTCM32", ""));
}

TEST(TransferStatisticsTest, ByteCountsChangeUnitAtTheirBoundsInAnyLocale) {
  const std::pair<uint32_t, const char*> rows[] = {
      {1023, "1023 B"},
      {1024, "1.00 KB"},
      {1048575, "1024.00 KB"},
      {1048576, "1.000 MB"},
  };
  // A decimal comma where the host has a German locale; the texts keep a point.
  const std::string was = std::setlocale(LC_ALL, nullptr);
  for (const char* locale : {"C", "de_DE.UTF-8", "de_DE"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    for (const auto& [bytes, text] : rows) EXPECT_EQ(FormatSentBytes(bytes), text) << locale;
  }
  std::setlocale(LC_ALL, was.c_str());
}

TEST(TransferStatisticsTest, SpeedRingProgressAndTheEightTickSum) {
  TransferStatistics statistics;
  const auto Update = [&](uint32_t total) {
    const TransferLine line = statistics.UpdateStatus(total);
    return std::tuple(line.Speed, line.RecentBytes, line.Progress);
  };
  EXPECT_EQ(Update(500), std::tuple("500.00B/s", 500u, 0));
  EXPECT_EQ(Update(600), std::tuple("300.00B/s", 600u, 1));  // mean of 500 and 100
  for (int tick = 3; tick <= 7; ++tick) Update(600);
  // 600 over eight samples; no bytes, no step.
  EXPECT_EQ(Update(600), std::tuple("75.00B/s", 600u, std::nullopt));
  EXPECT_EQ(Update(601), std::tuple("1.00B/s", 101u, 2));  // the ring starts again: one sample
  for (int tick = 0; tick < 7; ++tick) Update(601);
  // Eight ticks without bytes: an idle tick.
  EXPECT_EQ(std::get<1>(Update(601)), 0u);
  // A total that went back (a new relay) counts 0 and starts over.
  EXPECT_EQ(std::get<1>(Update(40)), 0u);
  EXPECT_EQ(std::get<1>(Update(50)), 50u);

  // A reset zeroes the samples and the previous total, not the ring position
  // nor the progress step.
  statistics.ResetStatus();
  EXPECT_EQ(Update(8), std::tuple("2.00B/s", 8u, 4));  // samples 0 to 3: three zeroed, then 8
  for (uint32_t total = 9; total < 54; ++total) statistics.UpdateStatus(total);
  EXPECT_EQ(std::get<2>(Update(100)), 50);
  for (uint32_t total = 101; total < 150; ++total) statistics.UpdateStatus(total);
  EXPECT_EQ(std::get<2>(Update(200)), 0);  // after position 99
}

}  // namespace
}  // namespace corvane::testing
