#include "app/ui/CDlgMain.h"

#include <gtest/gtest.h>

#include <QProgressBar>
#include <QTest>
#include <future>

#include "fixtures/FakeClock.h"
#include "fixtures/QtApp.h"
#include "fixtures/ScriptedMessageBoxes.h"
#include "fixtures/TempDir.h"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;

struct MainWindowFixture : ::testing::Test {
  MainWindowFixture() { EnsureQtApp(); }

  QString Text(int id) { return FindControl<QLabel>(window.get(), id)->text(); }
  QListWidget* List() { return FindControl<QListWidget>(window.get(), kIdcEventList); }
  void Open() {
    window = std::make_unique<CDlgMain>(settings, registry, log, boxes, time, clock, routes);
  }

  TempDir dir;
  RegistryStore registry{dir.path() / "registry.reg"};
  EventFile file{dir.path() / "log.txt"};
  FakeClock clock;
  StampedEventLog log{file, clock};
  ScriptedMessageBoxes boxes;
  Settings settings;
  UiTimeSource time{EnsureQtApp().thread()};
  SystemRouteSource routes;
  std::unique_ptr<CDlgMain> window;
};

TEST_F(MainWindowFixture, LabelsTitleAndStartUpLinesOfAFirstRunAndOfStoredSettings) {
  Open();
  EXPECT_EQ(window->windowTitle(), "Corvane V2.5");
  EXPECT_EQ(std::tuple(Text(kIdcCasterLabel), Text(kIdcMountLabel), Text(kIdcPortLabel)),
            std::tuple(":0", "  CMR", "  0"));
  ASSERT_EQ(List()->count(), 3);
  EXPECT_EQ(List()->item(0)->text(), "[ 3/ 4-05:06:07] System Init.");
  EXPECT_EQ(List()->item(2)->text(), "[ 3/ 4-05:06:07] Corvane V2.5");
  for (int id = 1009; id <= 1018; ++id) {
    const QWidget* control = window->findChild<QWidget*>(ControlName(id));
    ASSERT_NE(control, nullptr) << id;
    EXPECT_TRUE(window->rect().contains(control->geometry())) << id;
  }

  // The widest caster label fits; an unknown format shows no name.
  const Settings stored{.CasterAddress = {"255.255.255.255"},
                        .Port = 65535,
                        .Mount = {"RTK1"},
                        .PassWord = {},
                        .SerialPort = {"COM2"},
                        .SerialPortRate = 38400,
                        .DiffType = 6};
  ASSERT_TRUE(SaveSettings(stored, registry));
  Open();
  const auto* caster = FindControl<QLabel>(window.get(), kIdcCasterLabel);
  EXPECT_EQ(caster->text(), "255.255.255.255:65535");
  EXPECT_LE(caster->fontMetrics().horizontalAdvance(caster->text()),
            caster->contentsRect().width());
  EXPECT_EQ(std::tuple(Text(kIdcMountLabel), Text(kIdcPortLabel)),
            std::tuple("RTK1  ", "COM2  38400"));
}

TEST_F(MainWindowFixture, RunningControlsTransferAndTheExitQuestion) {
  Open();
  auto* exitButton = FindControl<QPushButton>(window.get(), kIdcExit);
  window->show();
  boxes.answers = {MessageResult::Cancel};
  QTest::mouseClick(exitButton, Qt::LeftButton);
  EXPECT_EQ(boxes.shown, (Boxes{{u"Do you want to exit", u"Prompt", MessageButtons::OkCancel,
                                 MessageIcon::Question}}));
  EXPECT_TRUE(window->isVisible());

  // The OK command reaches the window even while a relay runs.
  auto* startStop = FindControl<QPushButton>(window.get(), kIdcStartStop);
  auto* option = FindControl<QPushButton>(window.get(), kIdcOption);
  window->DisableStartStop();
  EXPECT_FALSE(startStop->isEnabled());
  window->SetRunningControls(false);
  EXPECT_TRUE(startStop->isEnabled() && option->isEnabled() && exitButton->isEnabled());
  EXPECT_EQ(startStop->text(), "Start");
  window->DisableStartStop();
  window->SetRunningControls(true);
  EXPECT_TRUE(startStop->isEnabled() && !option->isEnabled() && !exitButton->isEnabled());
  EXPECT_EQ(startStop->text(), "Stop");
  // A tick's statistics; the bar moves only when bytes arrived.
  auto* progress = FindControl<QProgressBar>(window.get(), kIdcProgress);
  window->ShowTransfer({"75.00B/s", "1.00 KB", 42});
  window->ShowTransfer({"0.00B/s", "1.00 KB", std::nullopt});
  EXPECT_EQ(std::tuple(Text(kIdcSpeed), Text(kIdcSent), progress->value()),
            std::tuple("0.00B/s", "1.00 KB", 42));
  boxes.answers = {MessageResult::Ok};
  window->accept();
  EXPECT_EQ(boxes.shown.size(), 2u);
  EXPECT_TRUE(!window->isVisible() && window->result() == QDialog::Accepted);

  Open();
  window->show();
  window->reject();  // the Cancel command: no prompt
  EXPECT_EQ(boxes.shown.size(), 2u);
  EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowFixture, AWorkerWaitsUntilItsLineIsShownOnTop) {
  Open();
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    log.LogEvent("Socket Send Error: 104");
    returned = true;
  });
  // The UI thread is busy: the worker must still be waiting.
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(List()->count(), 3);
  for (int i = 0; i < 500 && !returned.load(); ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  worker.join();
  ASSERT_EQ(List()->count(), 4);
  EXPECT_EQ(List()->item(0)->text(), "[ 3/ 4-05:06:07] Socket Send Error: 104");

  // Once the window has ended, a worker's line goes to the file alone.
  window->reject();
  auto late = std::async(std::launch::async, [&] { log.LogEvent("Read Port Error"); });
  const bool waited = late.wait_for(2s) != std::future_status::ready;
  while (late.wait_for(10ms) != std::future_status::ready) QCoreApplication::processEvents();
  EXPECT_FALSE(waited);
  EXPECT_EQ(List()->count(), 4);
}

}  // namespace
}  // namespace corvane::testing
