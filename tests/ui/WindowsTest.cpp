// The windows on real widgets, answered through scripted message boxes: the
// main window's labels, controls, transfer line, exit question and event
// list; the Option dialog's opening and Save with the address check; the
// Config dialog's opening, its Save steps with their refusals and the one
// registry write; and the main window's Option button that runs it.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <future>
#include <tuple>

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

TEST(OptionDialog, OpensWithTheSettingsAndSavesEveryFieldAsTypedWithinItsLimit) {
  WindowBench bench;
  Option first(bench.settings, bench.boxes);
  EXPECT_EQ(OptionShown(&first), QStringList({"", "", "0.0.0.0", "0", "", "", "4", "0"}));
  bench.settings.SerialPort = "COM3";  // must be overwritten by the empty lists
  bench.settings.SerialPortRate = 9600;
  first.show();
  // The edits take what survives a save and a reload.
  QTest::keyClicks(Control(&first, Option::kIdMount), QString(40, QLatin1Char('m')));
  Type(&first, {{Option::kIdPassword, QString(40, QChar(0x20AC))},
                {Option::kIdCasterAddress, "1.2.3.4." + QString(30, QLatin1Char('5'))}});
  Click(&first, Option::kIdSave);
  EXPECT_EQ(first.result(), QDialog::Accepted);
  EXPECT_FALSE(std::filesystem::exists(bench.registry.File()));
  ASSERT_TRUE(SaveSettings(bench.settings, bench.registry));
  for (const Settings& saved : {bench.settings, bench.Reloaded()}) {
    EXPECT_EQ(std::tuple(saved.SerialPort.view(), saved.SerialPortRate), std::tuple("", 0));
    EXPECT_EQ(saved.Mount.view(), std::string(32, 'm'));
    EXPECT_EQ(saved.PassWord.view(), std::string(32, '\x80'));  // the euro sign in 1252
    EXPECT_EQ(saved.CasterAddress.view(), "1.2.3.4.55555555");
  }

  bench.settings.SerialPort = "COM9";
  bench.settings.SerialPortRate = 38400;
  Option dialog(bench.settings, bench.boxes);
  EXPECT_EQ(OptionShown(&dialog),
            QStringList({"COM9", "38400", "1.2.3.4", "0", QString(32, QChar(0x20AC)),
                         QString(32, QLatin1Char('m')), "4", "0"}));
  EXPECT_EQ(Control<QLineEdit>(&dialog, Option::kIdPassword)->echoMode(), QLineEdit::Normal);
  dialog.show();
  // An interval that is not a whole number is taken as 0.
  Type(&dialog, {{Option::kIdCasterAddress, "192.168.1.20"},
                 {Option::kIdPort, "70000"},
                 {Option::kIdRetry, " -3 "},
                 {Option::kIdInterval, "5s"},
                 {Option::kIdPassword, ""},
                 {Option::kIdMount, ""}});
  Select(&dialog, Option::kIdSerialPort, 3);
  Select(&dialog, Option::kIdBaudRate, 5);
  Click(&dialog, Option::kIdSave);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  const Settings& saved = bench.settings;
  EXPECT_EQ(saved.CasterOctets, (std::array<int32_t, 4>{192, 168, 1, 20}));
  EXPECT_EQ(std::tie(saved.Port, saved.ReConnect_Times, saved.Interval, saved.SerialPortRate),
            std::tuple(70000, -3, 0, 115200));
  EXPECT_EQ(std::tuple(saved.PassWord.view(), saved.Mount.view(), saved.SerialPort.view()),
            std::tuple("", "", "COM4"));
  EXPECT_TRUE(bench.boxes.shown.empty());
}

TEST(OptionDialog, SavesValidAddressesAsTypedAndRefusesOthersChangingNothing) {
  using Row = std::tuple<const char*, bool, const char*, std::array<int32_t, 4>>;
  for (auto [typed, accepted, reshown, octets] :
       std::vector<Row>{{"...", true, "0.0.0.0", {0, 0, 0, 0}},
                        {"1.2.3.4.5", true, "1.2.3.4", {1, 2, 3, 4}},
                        {" 255.255.255.255", true, "255.255.255.255", {255, 255, 255, 255}},
                        {"10.0.0.1x", true, "10.0.0.1", {10, 0, 0, 1}},
                        {"1.2.3", false, "9.8.7.6", {9, 8, 7, 6}},
                        {"256.1.1.1", false, "9.8.7.6", {9, 8, 7, 6}},
                        {"", false, "9.8.7.6", {9, 8, 7, 6}},
                        {"1.2.3.9999999999", false, "9.8.7.6", {9, 8, 7, 6}}}) {
    SCOPED_TRACE(typed);
    WindowBench bench;
    bench.settings.CasterAddress = "9.8.7.6";
    bench.settings.CasterOctets = {9, 8, 7, 6};
    bench.settings.SerialPort = "COM2";
    Option dialog(bench.settings, bench.boxes);
    dialog.show();
    Type(&dialog, {{Option::kIdCasterAddress, typed},
                   {Option::kIdMount, "changed"},
                   {Option::kIdPort, "2101"}});
    Select(&dialog, Option::kIdSerialPort, 5);
    Click(&dialog, Option::kIdSave);
    const Boxes refusal = {
        {u"Invalid IP Address!", u"Corvane", MessageButtons::Ok, MessageIcon::None}};
    EXPECT_EQ(bench.boxes.shown, accepted ? Boxes{} : refusal);
    if (!accepted) {
      EXPECT_TRUE(dialog.isVisible());
      EXPECT_EQ(dialog.focusWidget(), Control(&dialog, Option::kIdCasterAddress));
      Click(&dialog, Option::kIdCancel);  // which changes nothing either
    }
    EXPECT_EQ(dialog.result(), accepted ? QDialog::Accepted : QDialog::Rejected);
    const Settings& saved = bench.settings;
    EXPECT_EQ(std::tuple(saved.CasterAddress.view(), saved.Mount.view(), saved.SerialPort.view()),
              accepted ? std::tuple(typed, "changed", "COM6") : std::tuple("9.8.7.6", "", "COM2"));
    EXPECT_EQ(saved.CasterOctets, octets);
    EXPECT_EQ(saved.Port, accepted ? 2101 : 0);
    const Option reopened(bench.settings, bench.boxes);
    EXPECT_EQ(Text(&reopened, Option::kIdCasterAddress), reshown);
  }
}

// Lat, Lon, H, NS, EW.
constexpr int kCoordinateIds[] = {Config::kIdLat, Config::kIdLon, Config::kIdHeight, Config::kIdNs,
                                  Config::kIdEw};

// What the dialog shows, then "A" and/or "I" for the checked radio buttons
// and 1 or 0 for each coordinate control, enabled or not.
QStringList Shown(const QWidget* dialog) {
  QStringList shown{Text(dialog, Config::kIdType), Text(dialog, Config::kIdFormat)};
  QString states;
  if (Control<QRadioButton>(dialog, Config::kIdAutonomous)->isChecked()) states += 'A';
  if (Control<QRadioButton>(dialog, Config::kIdInputCoordinate)->isChecked()) states += 'I';
  for (int id : kCoordinateIds) {
    shown << Text(dialog, id);
    states += Control(dialog, id)->isEnabled() ? '1' : '0';
  }
  return shown << states;
}

// Clicks Save, which must refuse with `hint`, keep the dialog open and store
// nothing but the board, which is taken before the format is checked.
void ExpectRefusal(WindowBench& bench, const Config& dialog, std::u16string_view hint,
                   int32_t board) {
  const Settings before = bench.settings;
  const std::string stored = ReadFileBytes(bench.registry.File());
  Click(&dialog, Config::kIdSave);
  ASSERT_FALSE(bench.boxes.shown.empty());
  EXPECT_EQ(bench.boxes.shown.back(), (ShownBox{std::u16string(hint), u"Hint", MessageButtons::Ok,
                                                MessageIcon::Exclamation}));
  EXPECT_TRUE(dialog.isVisible());
  const Settings& after = bench.settings;
  EXPECT_EQ(std::tie(after.GPSBoard, after.DiffType, after.Coordinate, after.BaseLat),
            std::tie(board, before.DiffType, before.Coordinate, before.BaseLat));
  EXPECT_EQ(ReadFileBytes(bench.registry.File()), stored);
}

TEST(ConfigDialog, RefusesTypeBeforeFormatAndSavesTheCoordinateAsShownUnlessAutonomous) {
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
  Select(&autonomous, Config::kIdType, 1);
  Type(&autonomous, {{Config::kIdLat, "10"}, {Config::kIdLon, "10"}, {Config::kIdHeight, "10"}});
  Select(&autonomous, Config::kIdNs, 0);
  Click(&autonomous, Config::kIdAutonomous);
  EXPECT_EQ(Shown(&autonomous).last(), "A00000");
  ExpectRefusal(bench, autonomous, u"This version only supports Trimble board!", kBoardTrimble);
  Click(&autonomous, Config::kIdSave);
  EXPECT_EQ(autonomous.result(), QDialog::Accepted);
  EXPECT_EQ(bench.boxes.shown.size(), 3u);
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
}

TEST(ConfigDialog, AFailedSaveIsLoggedAndShownAndKeepsTheValuesInMemory) {
  WindowBench bench;
  const auto folderIsAFile = bench.dir.path() / "file";
  std::ofstream(folderIsAFile) << "x";
  std::filesystem::create_directory(bench.registry.File());  // unreadable at start-up
  RegistryStore unreadable(bench.registry.File());
  RegistryStore unwritable(folderIsAFile / "registry.reg");
  using Row = std::pair<RegistryStore*, std::string>;
  for (const auto& [registry, reason] :
       {Row{&unreadable, bench.registry.File().string() + " was not loaded at start-up"},
        Row{&unwritable, "cannot create a file beside " + unwritable.File().string()}}) {
    SCOPED_TRACE(reason);
    RecordingEventLog log;
    Config dialog(bench.settings, *registry, log, bench.boxes);
    dialog.show();
    Type(&dialog, {{Config::kIdLat, "12.5"}});
    Click(&dialog, Config::kIdSave);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(bench.boxes.shown, (Boxes{{u"The settings were not saved.", u"Error",
                                         MessageButtons::Ok, MessageIcon::Error}}));
    ASSERT_EQ(log.Events().size(), 1u);
    EXPECT_TRUE(log.Events()[0].starts_with("Settings not saved: " + reason)) << log.Events()[0];
    EXPECT_EQ(bench.settings.BaseLat, 12.5);
    bench.boxes.shown.clear();
  }
  EXPECT_TRUE(std::filesystem::is_directory(bench.registry.File()));
}

TEST(OptionButton, RunsConfigAndRefreshesLabelsWhateverItsOutcome) {
  WindowBench bench;
  bench.settings.Mount = "OLD";
  ASSERT_TRUE(SaveSettings(bench.settings, bench.registry));
  bench.Open();
  CDlgMain& window = *bench.window;
  window.show();
  EXPECT_EQ(bench.Label(kIdcMountLabel), "OLD  CMR");

  // Option saved through Setup, then Config cancelled or saved: the labels
  // follow memory, and only the Config Save writes the file.
  using Row = std::tuple<const char*, int, const char*, const char*, int, const char*>;
  for (auto [mount, end, label, storedMount, storedRate, storedAddress] :
       {Row{"RTK1", Config::kIdCancel, "RTK1  CMR", "OLD", 0, ""},
        Row{"RTK2", Config::kIdSave, "RTK2  RTCM32", "RTK2", 38400, "10.0.0.7"}}) {
    WhenModal<Config>([mount, end](Config* config) {
      WhenModal<Option>([mount](Option* option) {
        Type(option, {{Option::kIdMount, mount}, {Option::kIdCasterAddress, "10.0.0.7"}});
        Select(option, Option::kIdBaudRate, 3);
        Click(option, Option::kIdSave);
      });
      Click(config, Config::kIdSetup);
      EXPECT_TRUE(config->isVisible());
      Click(config, end);
    });
    Click(&window, kIdcOption);
    EXPECT_EQ(bench.Label(kIdcMountLabel), label);
    EXPECT_EQ(bench.Label(kIdcCasterLabel), "10.0.0.7:0");
    EXPECT_EQ(bench.settings.SerialPortRate, 38400);
    const Settings stored = bench.Reloaded();
    EXPECT_EQ(std::tuple(stored.Mount.view(), stored.SerialPortRate, stored.CasterAddress.view()),
              std::tuple(storedMount, storedRate, storedAddress));
  }
}

TEST_F(MainWindowFixture, LabelsTitleAndStartUpLinesOfAFirstRunAndOfStoredSettings) {
  Open();
  EXPECT_EQ(window->windowTitle(), "Corvane V2.5");
  EXPECT_EQ(std::tuple(Label(kIdcCasterLabel), Label(kIdcMountLabel), Label(kIdcPortLabel)),
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
  EXPECT_EQ(std::tuple(Label(kIdcMountLabel), Label(kIdcPortLabel)),
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
  EXPECT_EQ(std::tuple(Label(kIdcSpeed), Label(kIdcSent), progress->value()),
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
