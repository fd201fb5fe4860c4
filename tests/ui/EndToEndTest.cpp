// The whole chain as a user meets it: the application run as main runs it
// (pressing Start at once, offscreen, in scaled time), corvane-gnss-sim on a
// pseudo-terminal linked as COM3, and corvane-caster on loopback. A script
// on a second thread watches log.txt and the caster's file, plays the
// faults, and ends the application with SIGTERM as a service manager would.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/ui/Application.h"
#include "app/ui/CDlgMain.h"
#include "fixtures/Files.h"
#include "fixtures/QtApp.h"
#include "fixtures/TempDir.h"
#include "platform/RegistryStore.h"
#include "platform/TerminationSignals.h"
#include "uplink/UplinkRig.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits on the host's clock until `condition` holds; false after `deadline`.
bool WaitFor(const std::function<bool()>& condition, Clock::duration deadline = 40s) {
  const auto end = Clock::now() + deadline;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class Chain {
 public:
  Chain(const std::string& type, const std::vector<std::string>& simOptions = {}) {
    testing::EnsureQtApp();
    TerminationSignalFd();  // SIGTERM from the script is the application's from now on
    ::setenv("CORVANE_HOME", home_.path().c_str(), 1);
    ::setenv("CORVANE_SET_CLOCK", "0", 1);
    StartCaster(0, "caster.bin");
    std::vector<std::string> sim = {CORVANE_BIN_DIR "/corvane-gnss-sim",
                                    "--type",
                                    type,
                                    "--link",
                                    (home_.path() / "dosdevices" / "com3").string(),
                                    "--sent-log",
                                    (home_.path() / "sent.bin").string()};
    sim.insert(sim.end(), simOptions.begin(), simOptions.end());
    sim_ = std::make_unique<testing::ChildProcess>(sim);
    ready_ = !sim_->ReadLine().empty() && casterPort_ != 0;

    settings.CasterAddress = "127.0.0.1";
    settings.Port = casterPort_;
    settings.Mount = "CORVANE";
    settings.PassWord = "demo";
    settings.SerialPort = "COM3";
    settings.SerialPortRate = 115200;
    settings.GPSBoard = type == "trimble" ? kBoardTrimble : kBoardNovAtel;
    settings.DiffType = kDiffRtcm32;
    settings.Coordinate = kCoordinateAutonomous;
    settings.ReConnect_Times = 4;
    settings.Interval = 1;
  }
  ~Chain() {
    ::unsetenv("CORVANE_HOME");
    ::unsetenv("CORVANE_SET_CLOCK");
  }

  bool Ready() const { return ready_; }

  void StartCaster(uint16_t port, const std::string& out) {
    caster_ = std::make_unique<testing::ChildProcess>(std::vector<std::string>{
        CORVANE_BIN_DIR "/corvane-caster", "--port", std::to_string(port), "--mount", "CORVANE",
        "--password", "demo", "--out", (home_.path() / out).string()});
    const std::string line = caster_->ReadLine();  // "listening 127.0.0.1:<port> mount /CORVANE"
    const size_t colon = line.find(':');
    if (colon != std::string::npos)
      casterPort_ = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
  }
  void KillCaster() { caster_->Stop(SIGKILL); }

  // Saves the settings, runs the application with `script` beside it, and
  // returns the application's exit status once the script's SIGTERM ended it.
  int Run(double timeScale, const std::function<void()>& script) {
    RegistryStore registry(home_.path() / "registry.reg");
    EXPECT_TRUE(SaveSettings(settings, registry));
    std::thread beside([&script] {
      script();
      ::kill(::getpid(), SIGTERM);
    });
    const int status = RunApplication(testing::EnsureQtApp(), {true, timeScale});
    beside.join();
    sim_->Stop();
    return status;
  }

  // log.txt without stamps; lines that end in their own CR LF leave an
  // empty line behind, which is dropped.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    const std::string text = testing::ReadFileBytes(home_.path() / "log.txt");
    for (size_t begin = 0, end; (end = text.find("\r\n", begin)) != std::string::npos;
         begin = end + 2) {
      if (end - begin > 17) lines.push_back(text.substr(begin + 17, end - begin - 17));
    }
    return lines;
  }
  bool Logged(const std::string& text, int times = 1) const {
    int seen = 0;
    for (const std::string& line : Lines()) seen += line == text ? 1 : 0;
    return seen >= times;
  }
  std::string File(const std::string& name) const {
    return testing::ReadFileBytes(home_.path() / name);
  }

  Settings settings;

 private:
  testing::TempDir home_;
  std::unique_ptr<testing::ChildProcess> caster_;
  std::unique_ptr<testing::ChildProcess> sim_;
  uint16_t casterPort_ = 0;
  bool ready_ = false;
};

// Where `later` stands after `earlier` in the lines; npos when either is missing.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  auto at = lines.begin();
  for (const std::string& text : wanted) {
    at = std::find(at, lines.end(), text);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

TEST(EndToEndTest, TheCasterGetsExactlyWhatTheReceiverSent) {
  for (const std::string type : {"trimble", "novatel"}) {
    Chain chain(type);
    ASSERT_TRUE(chain.Ready());
    const int status = chain.Run(5, [&] {
      EXPECT_TRUE(WaitFor([&] { return chain.File("caster.bin").size() >= 2000; })) << type;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(
        InOrder(chain.Lines(), {"Open GPS Port Successfully!", "Invalid Position,please wait..",
                                "Get Valid Position!", "Reopen port successfully!",
                                "Connect Server Successfully!", "Start Ntrip Server thread!"}))
        << type << ::testing::PrintToString(chain.Lines());
    EXPECT_FALSE(chain.Logged("Adjust Time OK!"));  // clock setting is off

    // Nothing added, dropped or reordered. A position message the receiver
    // sent in the moment between the port's opening and the base-station
    // commands is relayed too, ahead of the corrections.
    const std::string atCaster = chain.File("caster.bin");
    const std::string sent = chain.File("sent.bin");
    const size_t start = atCaster.find(sent.substr(0, 64));
    ASSERT_NE(start, std::string::npos) << type;
    EXPECT_LT(start, 300u) << type;
    EXPECT_EQ(atCaster.substr(start), sent.substr(0, atCaster.size() - start)) << type;
  }
}

TEST(EndToEndTest, APressDuringStartServerWaitsUntilItReturns) {
  Chain chain("novatel");
  ASSERT_TRUE(chain.Ready());
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
  const int status =
      chain.Run(5, [&] { EXPECT_TRUE(WaitFor([&] { return chain.Logged("User Stop"); })); });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shownDuringTheWait);
  EXPECT_TRUE(InOrder(chain.Lines(), {"Init DiffType Data 1 Times", "Connect Server Successfully!",
                                      "Start Ntrip Server thread!", "User Stop"}))
      << ::testing::PrintToString(chain.Lines());
}

TEST(EndToEndTest, ASilentReceiverIsRestartedAndTheStreamResumes) {
  Chain chain("novatel", {"--silent-after", "2"});
  ASSERT_TRUE(chain.Ready());
  size_t atRetry = 0;
  const int status = chain.Run(5, [&] {
    EXPECT_TRUE(WaitFor([&] { return chain.Logged("Retry Start 3."); }));
    atRetry = chain.File("caster.bin").size();
    EXPECT_TRUE(WaitFor([&] { return chain.File("caster.bin").size() >= atRetry + 500; }));
  });
  EXPECT_EQ(status, 0);
  EXPECT_GT(atRetry, 12u);
  EXPECT_TRUE(InOrder(chain.Lines(), {"Connect Server Successfully!", "SerialPort Data break off.",
                                      "Retry Start 3.", "Reopen port successfully!",
                                      "Connect Server Successfully!"}));
}

TEST(EndToEndTest, AKilledCasterIsRetriedAfterTheWaitAndTheStreamResumes) {
  Chain chain("trimble");
  ASSERT_TRUE(chain.Ready());
  chain.settings.Interval = 2;  // the retry comes 2 x 2 ticks after the error is reported
  Clock::time_point reported, retried;
  std::string error;
  const int status = chain.Run(2, [&] {
    EXPECT_TRUE(WaitFor([&] { return chain.File("caster.bin").size() >= 500; }));
    chain.KillCaster();
    EXPECT_TRUE(WaitFor([&] {
      for (const std::string& line : chain.Lines())
        if (line.starts_with("Socket Err:")) error = line.substr(11);
      return !error.empty();
    }));
    reported = Clock::now();
    chain.StartCaster(chain.settings.Port, "caster-again.bin");
    EXPECT_TRUE(WaitFor([&] { return chain.Logged("Retry Start 3."); }));
    retried = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return chain.File("caster-again.bin").size() >= 300; }));
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(InOrder(chain.Lines(), {"Socket Send Error: " + error, "Socket Err:" + error,
                                      "Retry Start 3.", "Connect Server Successfully!"}));
  // Four ticks of 500 ms at this scale; one tick more or less is a fault.
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(retried - reported);
  EXPECT_GT(waited, 1700ms);
  EXPECT_LT(waited, 2400ms);
}

}  // namespace
}  // namespace corvane
