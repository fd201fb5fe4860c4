// The application as a user meets it, with corvane-gnss-sim on a
// pseudo-terminal linked as COM3 and corvane-caster on loopback: in this
// process as main runs it (pressing Start at once, offscreen, in scaled time)
// while a script on a second thread watches the caster's file and ends it with
// SIGTERM as a service manager would; and as a process, its command line, one
// instance per data folder and SIGTERM in the data wait.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/Startup.h"
#include "app/ui/Application.h"
#include "app/ui/CDlgMain.h"
#include "fixtures/Process.h"
#include "fixtures/QtApp.h"
#include "fixtures/TempDir.h"
#include "platform/RegistryStore.h"
#include "platform/TerminationSignals.h"

namespace corvane::testing {
namespace {

// A data folder whose COM3 is the simulated receiver of `type`, with the
// caster on loopback, and settings for both.
struct Station {
  explicit Station(const std::string& type, std::vector<std::string> simOptions = {}) {
    EnsureQtApp();
    simOptions.insert(simOptions.begin(), {CORVANE_BIN_DIR "/corvane-gnss-sim", "--type", type,
                                           "--link", (home.path() / "dosdevices/com3").string(),
                                           "--sent-log", (home.path() / "sent.bin").string()});
    sim = std::make_unique<ChildProcess>(simOptions);
    caster = std::make_unique<ChildProcess>(std::vector<std::string>{
        CORVANE_BIN_DIR "/corvane-caster", "--port", "0", "--mount", "CORVANE", "--password",
        "demo", "--out", (home.path() / "caster.bin").string()});
    settings.Port = CasterPort(*caster);
    settings.GPSBoard = type == "trimble" ? kBoardTrimble : kBoardNovAtel;
    RegistryStore registry(home.path() / "registry.reg");
    ready = !sim->ReadLine().empty() && settings.Port != 0 && SaveSettings(settings, registry);
  }

  // Runs main's body in this process, clock setting off, with `script`
  // beside it; returns its exit status once the script's SIGTERM ended it.
  int Run(double timeScale, const std::function<void()>& script) {
    TerminationSignalFd();  // a SIGTERM is the application's from the start
    ::setenv("CORVANE_HOME", home.path().c_str(), 1);
    ::setenv("CORVANE_SET_CLOCK", "0", 1);
    std::thread beside([&script] {
      script();
      ::kill(::getpid(), SIGTERM);
    });
    const int status = RunApplication(EnsureQtApp(), {true, timeScale});
    beside.join();
    ::unsetenv("CORVANE_HOME");
    ::unsetenv("CORVANE_SET_CLOCK");
    sim->Stop();
    return status;
  }
  // corvane as a process on this folder, its output in the folder's file `output`.
  std::unique_ptr<ChildProcess> Spawn(std::vector<std::string> args,
                                      const std::string& output = "output.txt") {
    args.insert(args.begin(), CORVANE_BIN_DIR "/corvane");
    return std::make_unique<ChildProcess>(
        args,
        std::vector<std::string>{"CORVANE_HOME=" + home.path().string(),
                                 "QT_QPA_PLATFORM=offscreen", "CORVANE_SET_CLOCK=0"},
        (home.path() / output).string());
  }

  std::string File(const std::string& name) const { return ReadFileBytes(home.path() / name); }
  // True when log.txt holds the lines `wanted` in this order, others between
  // them; each line is its stamp's "] ", the text and CR LF.
  bool InOrder(const std::vector<std::string>& wanted) const {
    const std::string log = File("log.txt");
    size_t at = 0;
    for (const std::string& text : wanted) {
      if ((at = log.find("] " + text + "\r\n", at)) == std::string::npos) return false;
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
        << type << station.File("log.txt");
    EXPECT_FALSE(station.InOrder({"Adjust Time OK!"}));  // clock setting is off

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

// On the UI thread, while StartServer sleeps in its data wait: its line is on
// the list already, and a press of Stop is held until StartServer returns.
TEST(EndToEndTest, APressDuringStartServerWaitsUntilItReturns) {
  Station station("novatel");
  ASSERT_TRUE(station.ready);
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    auto* main = qobject_cast<CDlgMain*>(QApplication::activeModalWidget());
    const auto* list = main ? FindControl<QListWidget>(main, kIdcEventList) : nullptr;
    if (list && list->count() > 0 && list->item(0)->text().endsWith("Data 1 Times\r\n")) {
      watcher.stop();
      QTest::mouseClick(FindControl<QPushButton>(main, kIdcStartStop), Qt::LeftButton);
    }
  });
  watcher.start(5);
  const int status = station.Run(
      5, [&] { EXPECT_TRUE(WaitUntil([&] { return station.InOrder({"User Stop"}); }, 40s)); });
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(watcher.isActive());  // it pressed
  EXPECT_TRUE(station.InOrder({"Init DiffType Data 1 Times", "Connect Server Successfully!",
                               "Start Ntrip Server thread!", "User Stop"}))
      << station.File("log.txt");
}

// A Trimble-type receiver that gives its position but never a correction byte.
TEST(AppProcessTest, ReadsItsCommandLineRunsAloneOnItsFolderAndASigtermEndsItsDataWait) {
  Station station("trimble", {"--send-bytes", "0"});
  ASSERT_TRUE(station.ready);
  const std::tuple<std::string, int, std::string> rows[] = {
      {"--bogus", 2, "corvane: Unknown option 'bogus'."},
      {"extra", 2, "corvane: unexpected argument 'extra'"},
      {"--help", 0, "CORVANE_SET_CLOCK=0"},
      {"--version", 0, "Corvane 2.5"}};
  for (const auto& [argument, status, says] : rows) {
    EXPECT_EQ(station.Spawn({argument})->Wait(), status) << argument;
    EXPECT_NE(station.File("output.txt").find(says), std::string::npos) << says;
  }

  const auto app = station.Spawn({"--start"}, "first.txt");
  ASSERT_TRUE(WaitUntil([&] { return station.InOrder({"System Init."}); }, 60s));
  EXPECT_EQ(station.Spawn({})->Wait(), 1);
  EXPECT_NE(station.File("output.txt")
                .find("Corvane is already running with data folder " +
                      station.home.path().string() + "\n"),
            std::string::npos);
  // The line stands just before the 2 s sleep of the first pass: the signal
  // comes at its start, and the sleep must end at once, not when it is over.
  ASSERT_TRUE(WaitUntil([&] { return station.InOrder({"Init DiffType Data 1 Times"}); }, 60s));
  const auto signalled = std::chrono::steady_clock::now();
  EXPECT_EQ(app->Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1s);
  // Nothing more happened: no further pass, no give-up line.
  EXPECT_TRUE(station.File("log.txt").ends_with("Init DiffType Data 1 Times\r\n\r\n"))
      << station.File("log.txt");
}

}  // namespace
}  // namespace corvane::testing
