// The receiver simulator program drives a GpsReceiver to a valid position
// over a real pseudo-terminal, for both receiver families; then the same port,
// opened as the relay port, takes the base-station command set and the
// simulator answers with corrections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/RecordingEventLog.h"
#include "fixtures/TempDir.h"
#include "receiver/CommandSets.h"
#include "receiver/GpsReceiver.h"
#include "receiver/ReceiverRig.h"
#include "receiver/RelayPort.h"

extern char** environ;

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::SinkRecord;
using testing::WaitUntil;

// corvane-gnss-sim as a child process, killed when the test ends.
class Simulator {
 public:
  explicit Simulator(std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string program = std::string(CORVANE_BIN_DIR) + "/corvane-gnss-sim";
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
  }
  ~Simulator() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  // True once the program printed its ready line (the slave path).
  bool Ready() {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
      pollfd fd{stdout_, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      char c = 0;
      if (read(stdout_, &c, 1) != 1) return false;
      if (c == '\n') return true;
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
};

// The simulator's --type for a GPSBoard value.
std::string SimType(int32_t gpsBoard) {
  return gpsBoard == kBoardTrimble ? "trimble" : "novatel";
}

class GpsReceiverSimTest : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override { setenv("CORVANE_HOME", home_.path().c_str(), 1); }
  void TearDown() override { unsetenv("CORVANE_HOME"); }

  testing::TempDir home_;
};

TEST_P(GpsReceiverSimTest, SimulatedReceiverReachesAValidPositionAndStreamsCorrections) {
  const int32_t gpsBoard = GetParam();
  const std::string commandLog = (home_.path() / "commands.txt").string();
  // A differential fix: the GSOF decoder takes an autonomous one (position
  // flags 0) as valid only north and east of 1 degree.
  Simulator sim({"--type", SimType(gpsBoard), "--link",
                 (home_.path() / "dosdevices" / "com3").string(), "--lat", "-33.85", "--lon",
                 "151.2", "--height", "40", "--quality", "2", "--command-log", commandLog});
  ASSERT_TRUE(sim.Ready());

  ScaledTimeSource time(10);
  FakeClock clock;
  SinkRecord sinks;
  PositionFix fix;
  {
    GpsReceiver receiver(std::make_unique<SerialChannel>(time), time, clock, sinks.Sinks());
    receiver.SelectDecoder(gpsBoard);
    ASSERT_TRUE(receiver.OpenGpsPort(3, 115200));
    ASSERT_TRUE(WaitUntil([&] { return receiver.Fix().FixQuality() >= 1; }, 15s));
    ASSERT_TRUE(WaitUntil([&] { return receiver.Fix().Snapshot().Year != 0; }, 5s));
    fix = receiver.Fix().Snapshot();
    EXPECT_TRUE(receiver.AdjustTime());
    receiver.CloseGpsPort();
  }
  EXPECT_NEAR(fix.Latitude, -33.85, 1e-5);
  EXPECT_NEAR(fix.Longitude, 151.2, 1e-5);
  EXPECT_NEAR(fix.Altitude, 40.0, 1e-3);
  EXPECT_GE(fix.Year, 2024);

  // The receiver is closed: the relay port gets the device, and the base
  // station command set makes the simulator stream its corrections.
  testing::RecordingEventLog log;
  const std::shared_ptr<SerialDevice> relay = OpenRelayPort("COM3", 115200, log);
  ASSERT_NE(relay, nullptr);
  Settings settings;
  settings.GPSBoard = gpsBoard;
  settings.DiffType = kDiffRtcm32;
  settings.Coordinate = kCoordinateAutonomous;
  EXPECT_EQ(InitDiffData(relay.get(), settings, {fix.Latitude, fix.Longitude, fix.Altitude}, time,
                         sinks.Sinks().Console),
            1);
  // A read waits for its first byte; closing the port at the deadline wakes it.
  std::atomic<bool> done{false};
  std::thread deadline([&] {
    WaitUntil([&] { return done.load(); }, 10s);
    relay->Close();
  });
  size_t received = 0;
  uint8_t buffer[512];
  while (received <= 12) {
    const int n = relay->Read(buffer, sizeof buffer);
    if (n < 0) break;
    received += static_cast<size_t>(n);
  }
  done = true;
  deadline.join();
  EXPECT_GT(received, 12u) << "no correction data after the base-station commands";

  std::ifstream commands(commandLog);
  const std::string logged((std::istreambuf_iterator<char>(commands)), {});
  if (gpsBoard == kBoardNovAtel) {
    EXPECT_NE(logged.find("fix none"), std::string::npos);
    EXPECT_NE(logged.find("fix position -33.85"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, GpsReceiverSimTest,
                         ::testing::Values(kBoardNovAtel, kBoardTrimble),
                         [](const auto& info) { return SimType(info.param); });

}  // namespace
}  // namespace corvane
