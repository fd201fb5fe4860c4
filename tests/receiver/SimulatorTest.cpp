// The receiver simulator program on its own pseudo-terminal, reached through
// the data folder's COM link: it drives a GpsReceiver to a valid position for
// both receiver families, streams corrections after the base-station command
// set, and misbehaves on request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ReceiverRig.h"
#include "fixtures/Files.h"
#include "fixtures/RecordingEventLog.h"
#include "receiver/CommandSets.h"
#include "receiver/RelayPort.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

// corvane-gnss-sim as a child process, killed when the test ends.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), std::string(CORVANE_BIN_DIR) + "/corvane-gnss-sim");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {  // only async-signal-safe calls until exec
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }
  // True once the program printed its ready line (the slave path).
  bool Ready() {
    char c = 0;
    return pid_ > 0 && WaitUntil([&] {
             pollfd fd{stdout_, POLLIN, 0};
             return poll(&fd, 1, 50) > 0 && (read(stdout_, &c, 1) != 1 || c == '\n');
           }) &&
           c == '\n';
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
};

// A binary command as the simulator's command log shows it.
std::string HexLine(const uint8_t* bytes, size_t count) {
  std::string line = "\nhex";
  char hex[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
    line += hex;
  }
  return line;
}

// The relay port on COM3, with reads that give up after 200 ms without data.
std::shared_ptr<SerialDevice> OpenPolled() {
  testing::RecordingEventLog log;
  std::shared_ptr<SerialDevice> port = OpenRelayPort("COM3", 115200, log);
  SerialTimeouts timeouts;
  timeouts.ReadIntervalTimeout = 20;
  timeouts.ReadTotalTimeoutConstant = 200;
  if (port != nullptr) port->SetTimeouts(timeouts);
  return port;
}

class GpsReceiverSimTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(GpsReceiverSimTest, SimulatedReceiverReachesAValidPositionAndStreamsCorrections) {
  const int32_t gpsBoard = GetParam();
  testing::ComLink com(9);  // only for its data folder: the simulator links COM3
  const auto commandLog = com.Home() / "commands.txt";
  // A differential fix: the GSOF decoder takes an autonomous one (position
  // flags 0) as valid only north and east of 1 degree.
  SimProcess sim({"--type", gpsBoard == kBoardTrimble ? "trimble" : "novatel", "--link",
                  com.Link(3).string(), "--lat", "-33.85", "--lon", "151.2", "--height", "40",
                  "--quality", "2", "--command-log", commandLog.string()});
  ASSERT_TRUE(sim.Ready());

  ScaledTimeSource time(10);
  testing::FakeClock clock;
  PositionFix fix;
  {
    GpsReceiver receiver(std::make_unique<SerialChannel>(time), time, clock,
                         {[](std::string_view) {}, [](std::string_view) {}});
    receiver.SelectDecoder(gpsBoard);
    ASSERT_TRUE(receiver.OpenGpsPort(3, 115200));
    ASSERT_TRUE(WaitUntil([&] { return receiver.Fix().FixQuality() >= 1; }, 15s));
    fix = receiver.Fix().Snapshot();
    receiver.CloseGpsPort();
  }
  EXPECT_EQ(fix.FixQuality, 2);
  EXPECT_NEAR(fix.Latitude, -33.85, 1e-5);
  EXPECT_NEAR(fix.Longitude, 151.2, 1e-5);
  EXPECT_NEAR(fix.Altitude, 40.0, 1e-3);

  // The receiver is closed: the relay port gets the device, and the base
  // station command set makes the simulator stream its corrections.
  const std::shared_ptr<SerialDevice> relay = OpenPolled();
  ASSERT_NE(relay, nullptr);
  Settings settings;
  settings.GPSBoard = gpsBoard;
  settings.DiffType = kDiffRtcm32;
  settings.Coordinate = kCoordinateAutonomous;
  const BaseCoordinate base{fix.Latitude, fix.Longitude, fix.Altitude};
  EXPECT_EQ(InitDiffData(relay.get(), settings, base, time, {}), 1);
  int received = 0;
  uint8_t buffer[512];
  EXPECT_TRUE(WaitUntil([&] { return (received += std::max(relay->Read(buffer, 512), 0)) > 12; }))
      << "no correction data after the base-station commands";

  // What the receiver was told, in order: the position-output commands (and
  // "fix none" for the NovAtel type), possibly repeated by the retry worker,
  // and at the end the base-station set.
  std::string opening, baseSet;
  if (gpsBoard == kBoardNovAtel) {
    opening =
        "unlogall\nunlogall\nunlogall\nunlogall\nlog gpgga ontime 1\nlog gpgga ontime 1\n"
        "log gprmc ontime 1\nlog gprmc ontime 1\nfix none\nfix none\n";
    baseSet = "\nunlogall\nunlogall\nfix position -33.8500000 151.2000000 40.0000";
    for (const DiffLogLine& line : DiffLogLines(kDiffRtcm32))
      baseSet += "\n" + std::string(line.Command);
  } else {
    opening =
        "hex 17 00 02 00 64 11 00 00 00 03 00 01 00 07 08 0a 00 05 00 22 00 00 00 b9 03\n"
        "hex 17 00 02 00 64 11 01 00 00 03 00 01 00 07 08 0a 00 03 00 02 00 00 00 98 03\n"
        "hex 17 00 02 00 64 11 03 00 00 03 00 01 00 07 08 0a 00 03 00 01 00 00 00 99 03\n";
    uint8_t packet[kBasePacketSize];
    BuildBasePacket(packet, sizeof packet, base.Latitude, base.Longitude, base.Height);
    baseSet = HexLine(PreludePacket.data(), PreludePacket.size()) + HexLine(packet, sizeof packet);
  }
  const std::string commands = testing::ReadFileBytes(commandLog);
  EXPECT_EQ(commands.substr(0, opening.size()), opening);
  EXPECT_TRUE(commands.ends_with(baseSet + "\n")) << commands;
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, GpsReceiverSimTest,
                         ::testing::Values(kBoardNovAtel, kBoardTrimble));

TEST(GnssSimTest, NoFixThenPulledCable) {
  testing::ComLink com(9);
  SimProcess sim(
      {"--link", com.Link(3).string(), "--no-fix", "3600", "--close-after", "0", "--acks"});
  ASSERT_TRUE(sim.Ready());
  const std::shared_ptr<SerialDevice> port = OpenPolled();
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(port->Write(testing::Bytes("log gpgga ontime 1\r\n").data(), 20), 20);
  std::string text;
  uint8_t buffer[256];
  EXPECT_TRUE(WaitUntil([&] {
    text.append(reinterpret_cast<char*>(buffer), std::max(port->Read(buffer, 256), 0));
    return text.find("\r\n", text.find("$GPGGA")) != std::string::npos;
  }));
  EXPECT_EQ(text.find("<OK\r\n[COM1]"), 0u) << text;
  EXPECT_NE(text.find(".00,,,,,0,00,"), std::string::npos) << text;

  // The first correction burst finds the cable pulled: reads fail.
  ASSERT_EQ(port->Write(testing::Bytes("log rtcm1004b ontime 1\r\n").data(), 24), 24);
  EXPECT_TRUE(WaitUntil([&] { return port->Read(buffer, 256) < 0; }));
}

}  // namespace
}  // namespace corvane
