// The application as a user meets it, with corvane-gnss-sim on a
// pseudo-terminal linked as COM3 and corvane-caster on loopback. In this
// process as main runs it (pressing Start at once, offscreen, in scaled
// time), while a script on a second thread watches log.txt and the caster's
// file, plays the faults and ends it with SIGTERM as a service manager would.
// As a process: its command line, one instance per data folder, SIGTERM in
// the data wait or with a window open, and an unattended run without a route.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/Startup.h"
#include "app/ui/Application.h"
#include "app/ui/CDlgMain.h"
#include "config/ui/CDlgConfig.h"
#include "fixtures/Process.h"
#include "fixtures/QtApp.h"
#include "fixtures/TempDir.h"
#include "platform/RegistryStore.h"
#include "platform/TerminationSignals.h"

namespace corvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

// main's body in this process on the data folder `home`, clock setting off;
// a SIGTERM is the application's from the start.
int RunHere(const std::filesystem::path& home, const ApplicationOptions& options = {}) {
  EnsureQtApp();
  TerminationSignalFd();
  ::setenv("CORVANE_HOME", home.c_str(), 1);
  ::setenv("CORVANE_SET_CLOCK", "0", 1);
  const int status = RunApplication(EnsureQtApp(), options);
  ::unsetenv("CORVANE_HOME");
  ::unsetenv("CORVANE_SET_CLOCK");
  return status;
}

// A data folder whose COM3 is the simulated receiver of `type`, with the
// caster on loopback unless `withCaster` is false, and settings for both.
struct Station {
  explicit Station(const std::string& type, std::vector<std::string> simOptions = {},
                   bool withCaster = true) {
    EnsureQtApp();
    simOptions.insert(simOptions.begin(), {CORVANE_BIN_DIR "/corvane-gnss-sim", "--type", type,
                                           "--link", (home.path() / "dosdevices/com3").string(),
                                           "--sent-log", (home.path() / "sent.bin").string()});
    sim = std::make_unique<ChildProcess>(simOptions);
    if (withCaster) {
      caster = std::make_unique<ChildProcess>(std::vector<std::string>{
          CORVANE_BIN_DIR "/corvane-caster", "--port", "0", "--mount", "CORVANE", "--password",
          "demo", "--out", (home.path() / "caster.bin").string()});
      const std::string line = caster->ReadLine();  // "listening 127.0.0.1:<port> mount /CORVANE"
      settings.Port = std::atoi(line.substr(line.find(':') + 1).c_str());
    }
    ready = !sim->ReadLine().empty() && (!withCaster || settings.Port != 0);
    settings.GPSBoard = type == "trimble" ? kBoardTrimble : kBoardNovAtel;
  }

  bool Save() {
    RegistryStore registry(home.path() / "registry.reg");
    return SaveSettings(settings, registry);
  }

  // Saves the settings, runs the application in this process with `script`
  // beside it, and returns its exit status once the script's SIGTERM ended it.
  int Run(double timeScale, const std::function<void()>& script) {
    EXPECT_TRUE(Save());
    std::thread beside([&script] {
      script();
      ::kill(::getpid(), SIGTERM);
    });
    const int status = RunHere(home.path(), {true, timeScale});
    beside.join();
    sim->Stop();
    return status;
  }
  // corvane as a process on this folder, run by `wrapper` when given, its
  // output in the folder's file `output`.
  std::unique_ptr<ChildProcess> Spawn(std::vector<std::string> args,
                                      const std::string& output = "output.txt",
                                      std::vector<std::string> wrapper = {}) {
    args.insert(args.begin(), CORVANE_BIN_DIR "/corvane");
    args.insert(args.begin(), wrapper.begin(), wrapper.end());
    return std::make_unique<ChildProcess>(
        args,
        std::vector<std::string>{"CORVANE_HOME=" + home.path().string(),
                                 "QT_QPA_PLATFORM=offscreen", "CORVANE_SET_CLOCK=0"},
        (home.path() / output).string());
  }

  std::string File(const std::string& name) const { return ReadFileBytes(home.path() / name); }
  bool AwaitLog(std::string_view text, std::chrono::milliseconds within = 60s) const {
    return WaitUntil([&] { return File("log.txt").find(text) != std::string::npos; }, within);
  }
  // log.txt without stamps; lines that end in their own CR LF leave an
  // empty line behind, which is dropped.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    const std::string text = File("log.txt");
    for (size_t begin = 0, end; (end = text.find("\r\n", begin)) != std::string::npos;
         begin = end + 2) {
      if (end - begin > 17) lines.push_back(text.substr(begin + 17, end - begin - 17));
    }
    return lines;
  }
  bool Logged(const std::string& text) const { return InOrder({text}); }
  // True when the lines hold `wanted` in this order, others between them.
  bool InOrder(const std::vector<std::string>& wanted) const {
    const auto lines = Lines();
    auto at = lines.begin();
    for (const std::string& text : wanted) {
      at = std::find(at, lines.end(), text);
      if (at++ == lines.end()) return false;
    }
    return true;
  }

  TempDir home;
  // clang-format off
  Settings settings{.CasterAddress = {"127.0.0.1"}, .Mount = {"CORVANE"}, .PassWord = {"demo"},
      .ReConnect_Times = 4, .Interval = 1, .SerialPort = {"COM3"}, .SerialPortRate = 115200,
      .DiffType = kDiffRtcm32, .Coordinate = kCoordinateAutonomous};
  // clang-format on
  std::unique_ptr<ChildProcess> sim, caster;
  bool ready = false;
};

TEST(EndToEndTest, TheCasterGetsExactlyWhatTheReceiverSent) {
  for (const std::string type : {"trimble", "novatel"}) {
    Station station(type);
    ASSERT_TRUE(station.ready);
    const int status = station.Run(5, [&] {
      EXPECT_TRUE(WaitUntil([&] { return station.File("caster.bin").size() >= 2000; }, 40s));
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(station.InOrder({"Open GPS Port Successfully!", "Invalid Position,please wait..",
                                 "Get Valid Position!", "Reopen port successfully!",
                                 "Connect Server Successfully!", "Start Ntrip Server thread!"}))
        << type << ::testing::PrintToString(station.Lines());
    EXPECT_FALSE(station.Logged("Adjust Time OK!"));  // clock setting is off

    // Nothing added, dropped or reordered. A position message the receiver
    // sent in the moment between the port's opening and the base-station
    // commands is relayed too, ahead of the corrections.
    const std::string atCaster = station.File("caster.bin");
    const std::string sent = station.File("sent.bin");
    const size_t start = atCaster.find(sent.substr(0, 64));
    ASSERT_NE(start, std::string::npos) << type;
    EXPECT_LT(start, 300u) << type;
    EXPECT_EQ(atCaster.substr(start), sent.substr(0, atCaster.size() - start)) << type;
  }
}

TEST(EndToEndTest, APressDuringStartServerWaitsUntilItReturns) {
  Station station("novatel");
  ASSERT_TRUE(station.ready);
  // On the UI thread, while StartServer sleeps in its data wait: its line is
  // on the list already, and a press of Stop is held, not handled.
  bool shownDuringTheWait = false;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      auto* main = qobject_cast<CDlgMain*>(window);
      if (main == nullptr) continue;
      const auto* list = FindControl<QListWidget>(main, kIdcEventList);
      if (list->count() == 0 || !list->item(0)->text().endsWith("Init DiffType Data 1 Times\r\n"))
        continue;
      watcher.stop();
      shownDuringTheWait = true;
      QTest::mouseClick(FindControl<QPushButton>(main, kIdcStartStop), Qt::LeftButton);
    }
  });
  watcher.start(5);
  const int status = station.Run(
      5, [&] { EXPECT_TRUE(WaitUntil([&] { return station.Logged("User Stop"); }, 40s)); });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shownDuringTheWait);
  EXPECT_TRUE(station.InOrder({"Init DiffType Data 1 Times", "Connect Server Successfully!",
                               "Start Ntrip Server thread!", "User Stop"}))
      << ::testing::PrintToString(station.Lines());
}

TEST(AppProcessTest, RunsAloneOnItsFolderTellsWhyItsSettingsWereNotLoadedAndReadsItsCommandLine) {
  Station station("trimble", {}, false);
  const auto registry = station.home.path() / "registry.reg";
  std::filesystem::create_directory(registry);  // there, but not readable
  const auto first = station.Spawn({}, "stderr.txt");
  ASSERT_TRUE(station.AwaitLog("System Init."));
  EXPECT_EQ(station.Spawn({}, "second.txt")->Wait(), 1);
  EXPECT_NE(station.File("second.txt")
                .find("Corvane is already running with data folder " +
                      station.home.path().string() + "\n"),
            std::string::npos);
  EXPECT_EQ(first->Stop(), 0);

  // The lines' stamps and ends are the event log's own test's; here the lines.
  const std::string problem = "Settings file " + registry.string() +
                              " cannot be read (not a regular file): running with defaults, and "
                              "Save will not replace it";
  EXPECT_EQ(station.Lines(),
            (std::vector<std::string>{"Corvane V2.5", kAttributionLine, "System Init.", problem}));
  EXPECT_NE(station.File("stderr.txt").find("corvane: " + problem + "\n"), std::string::npos);

  // The command line, in a folder without log.txt: no window is made.
  std::filesystem::remove(station.home.path() / "log.txt");
  const std::tuple<std::string, int, std::vector<std::string>> rows[] = {
      {"--bogus", 2, {"corvane: Unknown option 'bogus'."}},
      {"extra", 2, {"corvane: unexpected argument 'extra'"}},
      {"--help", 0, {"--start", "CORVANE_HOME", "CORVANE_TRACE", "CORVANE_SET_CLOCK=0"}},
      {"--version", 0, {"Corvane 2.5"}}};
  for (const auto& [argument, status, says] : rows) {
    EXPECT_EQ(station.Spawn({argument})->Wait(), status) << argument;
    for (const std::string& text : says)
      EXPECT_NE(station.File("output.txt").find(text), std::string::npos) << text;
  }
  EXPECT_FALSE(std::filesystem::exists(station.home.path() / "log.txt"));  // no window was made
}

// A Trimble-type receiver that gives its position but never a correction
// byte, and no caster.
TEST(AppProcessTest, UnattendedWithoutARouteTheBoxAnswersItselfAndTheRunGoesOn) {
  Station station("trimble", {"--send-bytes", "0"}, false);
  ASSERT_TRUE(station.ready && station.Save());
  // In a network namespace of its own nothing is routed, loopback neither.
  const auto app =
      station.Spawn({"--start"}, "output.txt", {"/usr/bin/unshare", "--map-root-user", "--net"});
  ASSERT_TRUE(station.AwaitLog("Please check the Network!", 120s))  // after the 60 s wait
      << station.File("log.txt") << station.File("output.txt");
  const std::string box = R"(Message box "Prompt": Please check your Network! (answered OK))";
  const std::string log = station.File("log.txt");
  EXPECT_LT(log.find(box), log.find("Please check the Network!"));
  EXPECT_NE(station.File("output.txt").find("corvane: " + box), std::string::npos);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(::waitpid(app->Pid(), nullptr, WNOHANG), 0);  // still running, idle
  EXPECT_EQ(app->Stop(), 0);
}

TEST(AppProcessTest, SigtermDuringTheDataWaitEndsItAtOnce) {
  Station station("trimble", {"--send-bytes", "0"}, false);
  ASSERT_TRUE(station.ready && station.Save());
  const auto app = station.Spawn({"--start"});
  // The line stands just before the 2 s sleep of the first pass: the signal
  // comes at its start, and the sleep must end at once, not when it is over.
  ASSERT_TRUE(station.AwaitLog("Init DiffType Data 1 Times"));
  const auto signalled = Clock::now();
  EXPECT_EQ(app->Stop(), 0);
  EXPECT_LT(Clock::now() - signalled, 1s);
  // Nothing more happened: no further pass, no give-up line.
  EXPECT_TRUE(station.File("log.txt").ends_with("Init DiffType Data 1 Times\r\n\r\n"));
}

void Click(const QWidget* window, int id) {
  if (auto* button = FindControl<QPushButton>(window, id)) button->click();
}

// Counts the paint events that reach any widget.
class PaintCounter : public QObject {
 public:
  int Paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

// Nobody sees the windows on this platform: what the supervision tick shows
// each second while relaying, and an event line, must not wake the painter.
// Then the Option dialog is opened over the Config dialog over the main
// window, each from inside the loop of the one below it, and a SIGTERM ends
// them all. (Message boxes are answered at once on this screenless platform.)
TEST(AppProcessTest, UnseenWindowsAreNeverPaintedAndSigtermEndsThemWhateverIsOpen) {
  EnsureQtApp();
  ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
  TempDir home;
  PaintCounter counter;
  int paints = -1;
  std::string open;
  Clock::time_point signalled;
  QTimer::singleShot(300ms, [&] {
    QApplication::instance()->installEventFilter(&counter);
    for (QWidget* window : QApplication::topLevelWidgets()) {
      auto* main = qobject_cast<CDlgMain*>(window);
      if (main == nullptr) continue;
      main->ShowTransfer({"281.00B/s", "5.45 KB", 42, 2248});
      main->ShowLogLine(u"Start Ntrip Server thread!");
      QTimer::singleShot(300ms, [&, main] {
        paints = counter.Paints;
        QTimer::singleShot(100ms, [&] {
          QTimer::singleShot(100ms, [&] {
            const QWidget* modal = QApplication::activeModalWidget();
            open = modal != nullptr ? modal->metaObject()->className() : "none";
            signalled = Clock::now();
            ::raise(SIGTERM);
          });
          Click(QApplication::activeModalWidget(), CDlgConfig::kIdSetup);
        });
        Click(main, kIdcOption);
      });
    }
  });
  // Should the signal leave a window open, the test fails instead of hanging.
  QTimer::singleShot(5s, [] {
    for (QWidget* window : QApplication::topLevelWidgets())
      if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible())
        dialog->reject();
  });
  const int status = RunHere(home.path());
  const auto took = Clock::now() - signalled;
  QApplication::instance()->removeEventFilter(&counter);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(paints, 0);
  EXPECT_EQ(open, "corvane::CDlgOption");
  EXPECT_LT(took, 2s);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace corvane::testing
