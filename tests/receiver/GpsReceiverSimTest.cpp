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
#include <cstdio>
#include <fstream>
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

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// A binary command as the simulator's command log shows it.
std::string HexLine(const uint8_t* bytes, size_t count) {
  std::string line = "hex";
  char hex[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
    line += hex;
  }
  return line;
}

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
  EXPECT_EQ(fix.FixQuality, 2);
  EXPECT_NEAR(fix.Latitude, -33.85, 1e-5);
  EXPECT_NEAR(fix.Longitude, 151.2, 1e-5);
  EXPECT_NEAR(fix.Altitude, 40.0, 1e-3);
  ASSERT_EQ(clock.Set().size(), 1u);
  EXPECT_GE(clock.Set()[0].Year, 2024);

  // The receiver is closed: the relay port gets the device, and the base
  // station command set makes the simulator stream its corrections.
  testing::RecordingEventLog log;
  const std::shared_ptr<SerialDevice> relay = OpenRelayPort("COM3", 115200, log);
  ASSERT_NE(relay, nullptr);
  Settings settings;
  settings.GPSBoard = gpsBoard;
  settings.DiffType = kDiffRtcm32;
  settings.Coordinate = kCoordinateAutonomous;
  const BaseCoordinate base{fix.Latitude, fix.Longitude, fix.Altitude};
  EXPECT_EQ(InitDiffData(relay.get(), settings, base, time, sinks.Sinks().Console), 1);
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

  // What the receiver was told, in order: the position-output commands (and
  // "fix none" for the NovAtel type), possibly repeated by the retry worker,
  // and at the end the base-station set.
  const std::vector<std::string> commands = Lines(commandLog);
  std::vector<std::string> opening;
  std::vector<std::string> baseSet;
  if (gpsBoard == kBoardNovAtel) {
    opening = {"unlogall",           "unlogall",
               "unlogall",           "unlogall",
               "log gpgga ontime 1", "log gpgga ontime 1",
               "log gprmc ontime 1", "log gprmc ontime 1",
               "fix none",           "fix none"};
    baseSet = {"unlogall", "unlogall", "fix position -33.8500000 151.2000000 40.0000"};
    for (const DiffLogLine& line : DiffLogLines(kDiffRtcm32)) baseSet.emplace_back(line.Command);
  } else {
    opening = {"hex 17 00 02 00 64 11 00 00 00 03 00 01 00 07 08 0a 00 05 00 22 00 00 00 b9 03",
               "hex 17 00 02 00 64 11 01 00 00 03 00 01 00 07 08 0a 00 03 00 02 00 00 00 98 03",
               "hex 17 00 02 00 64 11 03 00 00 03 00 01 00 07 08 0a 00 03 00 01 00 00 00 99 03"};
    uint8_t packet[kBasePacketSize];
    BuildBasePacket(packet, sizeof packet, base.Latitude, base.Longitude, base.Height);
    baseSet = {HexLine(PreludePacket.data(), PreludePacket.size()), HexLine(packet, sizeof packet)};
  }
  ASSERT_GE(commands.size(), opening.size() + baseSet.size());
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + opening.size()), opening);
  EXPECT_EQ(std::vector<std::string>(commands.end() - baseSet.size(), commands.end()), baseSet);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, GpsReceiverSimTest,
                         ::testing::Values(kBoardNovAtel, kBoardTrimble),
                         [](const auto& info) { return SimType(info.param); });

}  // namespace
}  // namespace corvane
