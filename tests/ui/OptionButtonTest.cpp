// The main window's Option button: the Config dialog runs modally and the
// status labels show the settings in memory afterwards, whatever its outcome.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "DialogDriver.h"
#include "app/EventLog.h"
#include "app/ui/CDlgMain.h"
#include "config/ui/CDlgConfig.h"
#include "config/ui/CDlgOption.h"
#include "platform/EventFile.h"

namespace corvane {
namespace {

class FixedClock final : public Clock {
 public:
  CalendarTime LocalNow() override { return {2026, 12, 6, 21, 0, 0}; }
  int SetUtc(const CalendarTime&) override { return 0; }
};

QString LabelText(const QWidget* window, int id) {
  auto* label = FindControl<QLabel>(window, id);
  EXPECT_NE(label, nullptr) << id;
  return label->text();
}

TEST(OptionButton, RunsConfigAndRefreshesLabelsWhateverItsOutcome) {
  testing::DialogBench bench;
  EventFile file(bench.dir.path() / "log.txt");
  FixedClock clock;
  StampedEventLog log(file, clock);
  CDlgMain window(bench.settings, bench.registry, log, bench.boxes);
  window.show();
  EXPECT_EQ(LabelText(&window, kIdcMountLabel), "  CMR");

  // Option dialog saved, Config cancelled: the labels follow memory, the
  // registry file is not written.
  std::shared_ptr<bool> optionRan;
  auto configRan = testing::WhenModal<CDlgConfig>([&optionRan](CDlgConfig* config) {
    optionRan = testing::WhenModal<CDlgOption>([](CDlgOption* option) {
      FindControl<QLineEdit>(option, CDlgOption::kIdMount)->setText("RTK1");
      FindControl<QLineEdit>(option, CDlgOption::kIdPort)->setText("2101");
      FindControl<QLineEdit>(option, CDlgOption::kIdCasterAddress)->setText("10.0.0.7");
      FindControl<QPushButton>(option, CDlgOption::kIdSave)->click();
    });
    FindControl<QPushButton>(config, CDlgConfig::kIdSetup)->click();
    FindControl<QPushButton>(config, CDlgConfig::kIdCancel)->click();
  });
  QTest::mouseClick(FindControl<QPushButton>(&window, kIdcOption), Qt::LeftButton);
  EXPECT_TRUE(*configRan);
  ASSERT_NE(optionRan, nullptr);
  EXPECT_TRUE(*optionRan);
  EXPECT_EQ(LabelText(&window, kIdcMountLabel), "RTK1  CMR");
  EXPECT_EQ(LabelText(&window, kIdcCasterLabel), "10.0.0.7:2101");
  EXPECT_FALSE(std::filesystem::exists(bench.registryFile));

  // Config saved: the format name follows the stored RTCM 3.2.
  configRan = testing::WhenModal<CDlgConfig>(
      [](CDlgConfig* config) { FindControl<QPushButton>(config, CDlgConfig::kIdSave)->click(); });
  QTest::mouseClick(FindControl<QPushButton>(&window, kIdcOption), Qt::LeftButton);
  EXPECT_TRUE(*configRan);
  EXPECT_EQ(LabelText(&window, kIdcMountLabel), "RTK1  RTCM32");
  EXPECT_EQ(bench.Reloaded().Mount.view(), "RTK1");
  window.done(QDialog::Rejected);
}

}  // namespace
}  // namespace corvane
