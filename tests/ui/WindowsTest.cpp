// The windows on real widgets, answered through scripted message boxes: the
// Option dialog's opening, limits and address check; the Config dialog's
// opening, its Save steps with their refusals and its one registry write; the
// main window's labels, Option button, controls, transfer line, exit question
// and event list.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <future>
#include <tuple>
#include <utility>

#include "app/ui/CDlgMain.h"
#include "config/ui/CDlgConfig.h"
#include "config/ui/CDlgOption.h"
#include "config/ui/DialogTemplate.h"
#include "fixtures/Doubles.h"
#include "fixtures/QtApp.h"
#include "fixtures/TempDir.h"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;
using Option = CDlgOption;
using Config = CDlgConfig;

// A data folder with its settings file, and message boxes; the main window
// logs through the stamped event log, a dialog into `events`.
struct WindowBench {
  WindowBench() { EnsureQtApp(); }

  // The settings as the next start would load them from the file.
  Settings Reloaded() const {
    RegistryStore fresh(registry.File());
    Settings loaded;
    LoadSettings(loaded, fresh);
    return loaded;
  }
  void Open() {
    window = std::make_unique<CDlgMain>(settings, registry, log, boxes, time, clock, routes);
  }
  QString Label(int id) { return FindControl<QLabel>(window.get(), id)->text(); }
  QListWidget* List() { return FindControl<QListWidget>(window.get(), kIdcEventList); }

  TempDir dir;
  RegistryStore registry{dir.path() / "registry.reg"};
  Settings settings;
  ScriptedMessageBoxes boxes;
  RecordingEventLog events;
  EventFile file{dir.path() / "log.txt"};
  FakeClock clock;
  StampedEventLog log{file, clock};
  UiTimeSource time{EnsureQtApp().thread()};
  SystemRouteSource routes;
  std::unique_ptr<CDlgMain> window;
};

struct MainWindowFixture : ::testing::Test, WindowBench {};

template <typename T = QWidget>
T* Control(const QWidget* dialog, int id) {
  T* control = FindControl<T>(dialog, id);
  EXPECT_NE(control, nullptr) << id;
  return control;
}

inline void Click(const QWidget* dialog, int id) {
  QTest::mouseClick(Control<QAbstractButton>(dialog, id), Qt::LeftButton);
}
inline void Type(const QWidget* dialog, std::initializer_list<std::pair<int, QString>> texts) {
  for (const auto& [id, text] : texts) Control<QLineEdit>(dialog, id)->setText(text);
}
inline void Select(const QWidget* dialog, int id, int index) {
  Control<QComboBox>(dialog, id)->setCurrentIndex(index);
}
// What an edit or a drop-down list shows.
inline QString Text(const QWidget* dialog, int id) {
  if (auto* list = qobject_cast<QComboBox*>(Control(dialog, id))) return list->currentText();
  return Control<QLineEdit>(dialog, id)->text();
}

// Runs `action` on the modal dialog of type T as soon as it is the active
// modal window, polling for about five seconds; then closes whatever else is
// modal, so that no test hangs.
template <typename T, typename Action>
void WhenModal(Action action, int polls = 500) {
  QTimer::singleShot(10, [action, polls] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<T*>(modal)) return action(dialog);
    if (polls > 0) return WhenModal<T>(action, polls - 1);
    if (modal != nullptr) modal->close();
  });
}

QStringList OptionShown(const QWidget* dialog) {
  QStringList shown;
  for (int id = Option::kIdSerialPort; id <= Option::kIdInterval; ++id) shown << Text(dialog, id);
  return shown;
}

TEST(OptionDialog, ShowsTheSettingsAndSavesEveryFieldWithinItsLimitLeavingTheFileAlone) {
  WindowBench bench;
  bench.settings.SerialPort = "COM9";
  bench.settings.SerialPortRate = 38400;
  bench.settings.CasterOctets = {1, 2, 3, 4};
  Option dialog(bench.settings, bench.boxes);
  EXPECT_EQ(OptionShown(&dialog), QStringList({"COM9", "38400", "1.2.3.4", "0", "", "", "4", "0"}));
  dialog.show();
  // The edits take what survives a save and a reload, keys and pasted text
  // alike; an interval that is not a whole number is taken as 0.
  QTest::keyClicks(Control(&dialog, Option::kIdMount), QString(40, QLatin1Char('m')));
  Type(&dialog, {{Option::kIdPassword, QString(40, QChar(0x20AC))},
                 {Option::kIdCasterAddress, "1.2.3.4." + QString(30, QLatin1Char('5'))},
                 {Option::kIdPort, "70000"},
                 {Option::kIdRetry, " -3 "},
                 {Option::kIdInterval, "5s"}});
  Select(&dialog, Option::kIdSerialPort, 3);
  Select(&dialog, Option::kIdBaudRate, 5);
  Click(&dialog, Option::kIdSave);
  EXPECT_TRUE(bench.boxes.shown.empty());
  EXPECT_FALSE(std::filesystem::exists(bench.registry.File()));
  ASSERT_TRUE(SaveSettings(bench.settings, bench.registry));
  for (const Settings& saved : {bench.settings, bench.Reloaded()}) {
    EXPECT_EQ(std::tie(saved.SerialPortRate, saved.Port, saved.ReConnect_Times, saved.Interval),
              std::tuple(115200, 70000, -3, 0));
    EXPECT_EQ(std::tuple(saved.SerialPort.view(), saved.Mount.view(), saved.PassWord.view()),
              std::tuple("COM4", std::string(32, 'm'), std::string(32, '\x80')));  // 1252's euro
    EXPECT_EQ(saved.CasterAddress.view(), "1.2.3.4.55555555");
    EXPECT_EQ(saved.CasterOctets, (std::array<int32_t, 4>{1, 2, 3, 4}));
  }
}

TEST(OptionDialog, SavesAValidAddressAsTypedAndRefusesOthersChangingNothing) {
  using Row = std::tuple<const char*, bool, std::array<int32_t, 4>>;
  for (auto [typed, accepted, octets] :
       std::vector<Row>{{"...", true, {0, 0, 0, 0}},
                        {"1.2.3.4.5", true, {1, 2, 3, 4}},
                        {"1.2.3", false, {9, 8, 7, 6}},
                        {"256.1.1.1", false, {9, 8, 7, 6}},
                        {"1.2.3.9999999999", false, {9, 8, 7, 6}}}) {
    SCOPED_TRACE(typed);
    WindowBench bench;
    bench.settings.CasterAddress = "9.8.7.6";
    bench.settings.CasterOctets = {9, 8, 7, 6};
    const Settings before = bench.settings;
    Option dialog(bench.settings, bench.boxes);
    dialog.show();
    Type(&dialog, {{Option::kIdCasterAddress, typed}, {Option::kIdMount, "changed"}});
    Click(&dialog, Option::kIdSave);
    const Boxes refusal = {
        {u"Invalid IP Address!", u"Corvane", MessageButtons::Ok, MessageIcon::None}};
    EXPECT_EQ(bench.boxes.shown, accepted ? Boxes{} : refusal);
    EXPECT_EQ(dialog.isVisible(), !accepted);
    EXPECT_EQ(bench.settings == before, !accepted);  // a refusal changes nothing at all
    const Settings& saved = bench.settings;
    EXPECT_EQ(std::tuple(saved.CasterAddress.view(), saved.Mount.view()),
              accepted ? std::tuple(typed, "changed") : std::tuple("9.8.7.6", ""));
    EXPECT_EQ(saved.CasterOctets, octets);
  }
}

// What the dialog shows, then "A" and/or "I" for the checked radio buttons
// and 1 or 0 for each coordinate control, enabled or not.
QStringList Shown(const QWidget* dialog) {
  QStringList shown{Text(dialog, Config::kIdType), Text(dialog, Config::kIdFormat)};
  QString states;
  if (Control<QRadioButton>(dialog, Config::kIdAutonomous)->isChecked()) states += 'A';
  if (Control<QRadioButton>(dialog, Config::kIdInputCoordinate)->isChecked()) states += 'I';
  for (int id : {Config::kIdLat, Config::kIdLon, Config::kIdHeight, Config::kIdNs, Config::kIdEw}) {
    shown << Text(dialog, id);
    states += Control(dialog, id)->isEnabled() ? '1' : '0';
  }
  return shown << states;
}

// Clicks Save, which must refuse with `hint`, keep the dialog open and store
// nothing but the board, which is taken before the format is checked.
void ExpectRefusal(WindowBench& bench, const Config& dialog, std::u16string_view hint,
                   int32_t board) {
  Settings expected = bench.settings;
  expected.GPSBoard = board;
  const std::string stored = ReadFileBytes(bench.registry.File());
  Click(&dialog, Config::kIdSave);
  EXPECT_EQ(std::exchange(bench.boxes.shown, {}),
            (Boxes{{std::u16string(hint), u"Hint", MessageButtons::Ok, MessageIcon::Exclamation}}));
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(bench.settings, expected);
  EXPECT_EQ(ReadFileBytes(bench.registry.File()), stored);
}

TEST(ConfigDialog, RefusesTypeBeforeFormatSavesTheCoordinateAsShownUnlessAutonomousOnce) {
  WindowBench bench;
  bench.settings.BaseH = 12.3456;
  Config input(bench.settings, bench.registry, bench.events, bench.boxes);
  EXPECT_EQ(Shown(&input), QStringList({"Trimble", "RTCM3.2", "0.000000000", "0.000000000",
                                        "12.346", "N", "E", "I11111"}));
  input.show();
  Select(&input, Config::kIdType, 1);
  Select(&input, Config::kIdFormat, 0);
  Type(&input, {{Config::kIdLat, " -31.5abc"}, {Config::kIdLon, "nan"}});
  Select(&input, Config::kIdNs, 1);
  // Both wrong: only the type hint.
  ExpectRefusal(bench, input, u"This version only supports Trimble board!", kBoardNovAtel);
  ExpectRefusal(bench, input, u"This version only supports RTCM32!", kBoardTrimble);
  Click(&input, Config::kIdSave);
  EXPECT_EQ(input.result(), QDialog::Accepted);
  for (const Settings& saved : {bench.settings, bench.Reloaded()}) {
    EXPECT_EQ(std::tie(saved.GPSBoard, saved.DiffType, saved.Coordinate),
              std::tuple(kBoardTrimble, kDiffRtcm32, kCoordinateInput));
    EXPECT_EQ(std::tie(saved.BaseLat, saved.BaseLon, saved.BaseH, saved.NS, saved.EW),
              std::tuple(-31.5, 0.0, 12.346, 'S', 'E'));
  }

  Config autonomous(bench.settings, bench.registry, bench.events, bench.boxes);
  autonomous.show();
  Type(&autonomous, {{Config::kIdLat, "10"}, {Config::kIdLon, "10"}, {Config::kIdHeight, "10"}});
  Select(&autonomous, Config::kIdNs, 0);
  Click(&autonomous, Config::kIdAutonomous);
  Click(&autonomous, Config::kIdSave);
  for (const Settings& kept : {bench.settings, bench.Reloaded()}) {
    EXPECT_EQ(std::tie(kept.Coordinate, kept.BaseLat, kept.BaseLon, kept.BaseH, kept.NS),
              std::tuple(kCoordinateAutonomous, -31.5, 0.0, 12.346, 'S'));
  }

  // The opening shows the stored coordinate, never in a locale's decimal
  // comma, but not the stored type or format.
  bench.settings.GPSBoard = kBoardNovAtel;
  bench.settings.DiffType = kDiffRtd;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  Config stored(bench.settings, bench.registry, bench.events, bench.boxes);
  QLocale::setDefault(QLocale::c());
  EXPECT_EQ(Shown(&stored), QStringList({"Trimble", "RTCM3.2", "-31.500000000", "0.000000000",
                                         "12.346", "S", "E", "A00000"}));

  // A settings file that could not be read at start-up is never replaced:
  // the failed save is logged and shown, and the values stay in effect.
  const auto unread = bench.dir.path() / "unread.reg";
  std::filesystem::create_directory(unread);
  RegistryStore unreadable(unread);
  Config failing(bench.settings, unreadable, bench.events, bench.boxes);
  failing.show();
  Click(&failing, Config::kIdSave);
  EXPECT_EQ(
      bench.boxes.shown,
      (Boxes{{u"The settings were not saved.", u"Error", MessageButtons::Ok, MessageIcon::Error}}));
  ASSERT_EQ(bench.events.Events().size(), 1u);
  EXPECT_TRUE(bench.events.Events()[0].starts_with("Settings not saved: " + unread.string() +
                                                   " was not loaded at start-up"));
  EXPECT_EQ(std::tie(bench.settings.GPSBoard, bench.settings.DiffType),
            std::tuple(kBoardTrimble, kDiffRtcm32));
  EXPECT_TRUE(std::filesystem::is_directory(unread));
}

TEST_F(MainWindowFixture, ShowsTheStoredSettingsAndWhatTheOptionButtonLeftInEffect) {
  // The widest caster label; an unknown format shows no name.
  settings.CasterAddress = "255.255.255.255";
  settings.Port = 65535;
  settings.Mount = "RTK1";
  settings.DiffType = 6;
  ASSERT_TRUE(SaveSettings(settings, registry));
  settings = {};
  Open();
  EXPECT_EQ(std::tuple(Label(kIdcCasterLabel), Label(kIdcMountLabel)),
            std::tuple("255.255.255.255:65535", "RTK1  "));

  // Option saved through Setup, then Config cancelled: the labels follow
  // memory, and the file keeps what only Config's Save writes.
  window->show();
  WhenModal<Config>([](Config* config) {
    WhenModal<Option>([](Option* option) {
      Type(option, {{Option::kIdMount, "RTK2"}, {Option::kIdCasterAddress, "10.0.0.7"}});
      Click(option, Option::kIdSave);
    });
    Click(config, Config::kIdSetup);
    Click(config, Config::kIdCancel);
  });
  Click(window.get(), kIdcOption);
  EXPECT_EQ(std::tuple(Label(kIdcCasterLabel), Label(kIdcMountLabel)),
            std::tuple("10.0.0.7:65535", "RTK2  "));
  EXPECT_EQ(Reloaded().Mount.view(), "RTK1");
}

TEST_F(MainWindowFixture, ControlsTransferTheExitQuestionAndAWorkerWaitingForItsLine) {
  Open();
  auto* startStop = FindControl<QPushButton>(window.get(), kIdcStartStop);
  auto* option = FindControl<QPushButton>(window.get(), kIdcOption);
  auto* exitButton = FindControl<QPushButton>(window.get(), kIdcExit);
  window->show();
  boxes.answers = {MessageResult::Cancel};
  QTest::mouseClick(exitButton, Qt::LeftButton);
  EXPECT_EQ(boxes.shown, (Boxes{{u"Do you want to exit", u"Prompt", MessageButtons::OkCancel,
                                 MessageIcon::Question}}));
  EXPECT_TRUE(window->isVisible());

  // The OK command reaches the window even while a relay runs.
  for (bool running : {true, false}) {
    window->DisableStartStop();
    window->SetRunningControls(running);
    EXPECT_EQ(std::tuple(startStop->text(), startStop->isEnabled(), option->isEnabled(),
                         exitButton->isEnabled()),
              std::tuple(running ? "Stop" : "Start", true, !running, !running));
  }
  // A tick's statistics; the bar moves only when bytes arrived.
  window->ShowTransfer({"75.00B/s", "1.00 KB", 42});
  window->ShowTransfer({"0.00B/s", "1.00 KB", std::nullopt});
  EXPECT_EQ(std::tuple(Label(kIdcSpeed), Label(kIdcSent),
                       FindControl<QProgressBar>(window.get(), kIdcProgress)->value()),
            std::tuple("0.00B/s", "1.00 KB", 42));

  std::atomic<bool> returned{false};
  std::thread worker([&] {
    log.LogEvent("Socket Send Error: 104");
    returned = true;
  });
  // The UI thread is busy: the worker must still be waiting.
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(List()->count(), 3);
  for (int i = 0; i < 500 && !returned.load(); ++i)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  worker.join();
  ASSERT_EQ(List()->count(), 4);
  EXPECT_EQ(List()->item(0)->text(), "[ 3/ 4-05:06:07] Socket Send Error: 104");

  boxes.answers = {MessageResult::Ok};
  window->accept();
  EXPECT_TRUE(!window->isVisible() && window->result() == QDialog::Accepted);
  // Once the window has ended, a worker's line goes to the file alone.
  auto late = std::async(std::launch::async, [&] { log.LogEvent("Read Port Error"); });
  const bool waited = late.wait_for(2s) != std::future_status::ready;
  while (late.wait_for(10ms) != std::future_status::ready) QCoreApplication::processEvents();
  EXPECT_FALSE(waited);
  EXPECT_EQ(List()->count(), 4);
}

}  // namespace
}  // namespace corvane::testing
