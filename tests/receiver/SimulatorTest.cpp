// The receiver simulator program on its own pseudo-terminal, reached through
// the data folder's COM link: it drives a GpsReceiver to a valid position for
// both receiver families and streams corrections after the base-station
// command set.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
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

// corvane-gnss-sim as a child process, killed when the test ends. The shell
// prints its own process id, which exec hands on to the simulator.
class SimProcess {
 public:
  explicit SimProcess(const std::string& args)
      : out_(popen(("echo $$; exec " CORVANE_BIN_DIR "/corvane-gnss-sim " + args).c_str(), "r")) {}
  ~SimProcess() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    if (out_ != nullptr) pclose(out_);
  }
  // True once the program printed its ready line (the slave path).
  bool Ready() {
    char line[512];
    if (out_ == nullptr || fgets(line, sizeof line, out_) == nullptr) return false;
    pid_ = std::atoi(line);
    return fgets(line, sizeof line, out_) != nullptr;
  }

 private:
  FILE* out_;
  pid_t pid_ = -1;
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

class GpsReceiverSimTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(GpsReceiverSimTest, SimulatedReceiverReachesAValidPositionAndStreamsCorrections) {
  const int32_t gpsBoard = GetParam();
  testing::ComLink com(9);  // only for its data folder: the simulator links COM3
  const auto commandLog = com.Home() / "commands.txt";
  // A differential fix: the GSOF decoder takes an autonomous one (position
  // flags 0) as valid only north and east of 1 degree.
  SimProcess sim(std::string("--type ") + (gpsBoard == kBoardTrimble ? "trimble" : "novatel") +
                 " --link " + com.Link(3).string() +
                 " --lat -33.85 --lon 151.2 --height 40 --quality 2 --command-log " +
                 commandLog.string());
  ASSERT_TRUE(sim.Ready());

  ScaledTimeSource time(10);
  testing::FakeClock clock;
  GpsReceiver receiver(std::make_unique<SerialChannel>(time), time, clock,
                       {[](std::string_view) {}, [](std::string_view) {}});
  receiver.SelectDecoder(gpsBoard);
  ASSERT_TRUE(receiver.OpenGpsPort(3, 115200));
  ASSERT_TRUE(WaitUntil([&] { return receiver.Fix().FixQuality() >= 1; }, 15s));
  const PositionFix fix = receiver.Fix().Snapshot();
  receiver.CloseGpsPort();
  EXPECT_EQ(fix.FixQuality, 2);
  EXPECT_NEAR(fix.Latitude, -33.85, 1e-5);
  EXPECT_NEAR(fix.Longitude, 151.2, 1e-5);
  EXPECT_NEAR(fix.Altitude, 40.0, 1e-3);

  // The receiver is closed: the relay port gets the device, and the base
  // station command set makes the simulator stream its corrections.
  testing::RecordingEventLog log;
  const std::shared_ptr<SerialDevice> relay = OpenRelayPort("COM3", 115200, log);
  ASSERT_NE(relay, nullptr);
  SerialTimeouts timeouts;  // reads give up after 200 ms without data
  timeouts.ReadIntervalTimeout = 20;
  timeouts.ReadTotalTimeoutConstant = 200;
  relay->SetTimeouts(timeouts);
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

}  // namespace
}  // namespace corvane
