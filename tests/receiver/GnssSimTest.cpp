// The receiver simulator as the system meets it: the program on its own
// pseudo-terminal, reached through the data folder's COM link with the
// serial device, answering the position-output and base-station commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SimProtocol.h"
#include "fixtures/TempDir.h"
#include "platform/SerialDevice.h"

extern char** environ;

namespace corvane {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// The simulator program, ended with SIGTERM (or killed if it will not end).
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
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
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  // The first line the program prints: the slave path, once it is ready.
  std::string ReadyLine() {
    std::string line;
    const auto end = steady_clock::now() + milliseconds(10000);
    while (steady_clock::now() < end) {
      pollfd fd{stdout_, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      char c = 0;
      if (read(stdout_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line.push_back(c);
    }
    return {};
  }

  // SIGTERM, then the exit status within the deadline (-1 if it hangs).
  int Terminate() {
    kill(pid_, SIGTERM);
    const auto end = steady_clock::now() + milliseconds(5000);
    int status = 0;
    while (steady_clock::now() < end) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
  }

  bool Started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
};

class GnssSimTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("CORVANE_HOME", home_.path().c_str(), 1); }
  void TearDown() override { unsetenv("CORVANE_HOME"); }

  std::string Link() const { return (home_.path() / "dosdevices" / "com3").string(); }
  std::string CommandLog() const { return (home_.path() / "commands.txt").string(); }

  std::unique_ptr<SerialDevice> OpenPort() {
    auto port = OpenSerialDevice("COM3:");
    if (port == nullptr) return nullptr;
    port->SetLineState(LineState{115200, 8, 0, 0});
    SerialTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 20;
    timeouts.ReadTotalTimeoutConstant = 100;
    port->SetTimeouts(timeouts);
    return port;
  }

  static void Write(SerialDevice& port, const Bytes& bytes) {
    ASSERT_EQ(port.Write(bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
  }
  static void Write(SerialDevice& port, const std::string& text) {
    Write(port, Bytes(text.begin(), text.end()));
  }

  // Everything the port delivers until `done` holds or the time is up.
  template <typename Done>
  static Bytes Collect(SerialDevice& port, milliseconds deadline, Done done) {
    Bytes bytes;
    const auto end = steady_clock::now() + deadline;
    uint8_t buffer[1024];
    while (steady_clock::now() < end && !done(bytes)) {
      const int n = port.Read(buffer, sizeof buffer);
      if (n < 0) break;
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }

  std::vector<std::string> LoggedCommands() {
    std::ifstream in(CommandLog());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  testing::TempDir home_;
};

bool Contains(const Bytes& bytes, const std::string& text) {
  return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

TEST_F(GnssSimTest, NovatelAnswersWithNmeaThenStreamsCorrections) {
  SimProcess sim({"--link", Link(), "--command-log", CommandLog(), "--lat", "-33.85", "--lon",
                  "151.2", "--height", "12.5"});
  ASSERT_TRUE(sim.Started());
  const std::string slave = sim.ReadyLine();
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(std::filesystem::read_symlink(Link()), slave);
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);

  Write(*port, std::string("unlogall\r\nlog gpgga ontime 1\r\nlog gprmc ontime 1\r\n"));
  Bytes out = Collect(*port, milliseconds(4000), [](const Bytes& b) {
    return Contains(b, "$GPGGA") && Contains(b, "$GPRMC") && Contains(b, "*") && b.back() == '\n';
  });
  const std::string text(out.begin(), out.end());
  const size_t gga = text.find("$GPGGA,");
  ASSERT_NE(gga, std::string::npos) << text;
  const std::string sentence = text.substr(gga, text.find("\r\n", gga) - gga);
  EXPECT_NE(sentence.find(",3351.0000000,S,15112.0000000,E,1,12,"), std::string::npos) << sentence;
  EXPECT_NE(sentence.find(",12.5000,M,"), std::string::npos) << sentence;
  // The checksum is the exclusive-or of the characters between $ and *.
  uint8_t sum = 0;
  const size_t star = sentence.find('*');
  for (size_t i = 1; i < star; ++i) sum ^= static_cast<uint8_t>(sentence[i]);
  EXPECT_EQ(std::stoi(sentence.substr(star + 1), nullptr, 16), sum);

  // The base-station commands stop the position output and start RTCM 3.
  Write(*port, std::string("unlogall\r\nunlogall\r\nfix position -33.8500000 151.2000000 "
                           "12.5000\r\nlog rtcm1033b ontime 10\r\n"));
  out = Collect(*port, milliseconds(4000),
                [](const Bytes& b) { return std::count(b.begin(), b.end(), 0xD3) >= 3; });
  EXPECT_GE(std::count(out.begin(), out.end(), 0xD3), 3);

  port->Close();
  EXPECT_EQ(sim.Terminate(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Link())));
  EXPECT_EQ(LoggedCommands(),
            (std::vector<std::string>{
                "unlogall", "log gpgga ontime 1", "log gprmc ontime 1", "unlogall", "unlogall",
                "fix position -33.8500000 151.2000000 12.5000", "log rtcm1033b ontime 10"}));
}

TEST_F(GnssSimTest, TrimbleAnswersWithGsofAndMisbehavesOnRequest) {
  SimProcess sim(
      {"--type", "trimble", "--link", Link(), "--command-log", CommandLog(), "--send-bytes", "12"});
  ASSERT_TRUE(sim.Started());
  ASSERT_FALSE(sim.ReadyLine().empty());
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);

  const Bytes enableRecord2{0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x01, 0x00, 0x00,
                            0x03, 0x00, 0x01, 0x00, 0x07, 0x08, 0x0a, 0x00, 0x03,
                            0x00, 0x02, 0x00, 0x00, 0x00, 0x98, 0x03};
  Write(*port, enableRecord2);
  Bytes out = Collect(*port, milliseconds(4000), [](const Bytes& b) { return b.size() >= 32; });
  // 02 status 40 length, transmission, page 0, last page 0, record 2 (24 bytes).
  ASSERT_GE(out.size(), 32u);
  EXPECT_EQ(out[0], 0x02);
  EXPECT_EQ(out[2], 0x40);
  EXPECT_EQ(out[3], 3 + 26);
  EXPECT_EQ(out[5], 0);
  EXPECT_EQ(out[6], 0);
  EXPECT_EQ(out[7], 0x02);
  EXPECT_EQ(out[8], 0x18);
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | out[9 + i];
  double latitude = 0;
  std::memcpy(&latitude, &bits, sizeof latitude);
  EXPECT_NEAR(latitude * 180.0 / M_PI, 35.872988846, 1e-9);
  uint8_t sum = 0;
  for (int i = 1; i < 4 + 29; ++i) sum = static_cast<uint8_t>(sum + out[i]);
  EXPECT_EQ(out[4 + 29], sum);
  EXPECT_EQ(out[5 + 29], 0x03);

  // The base packets: everything off, then exactly the 12 bytes asked for.
  const Bytes prelude{0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
                      0x07, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x88, 0x03};
  Write(*port, prelude);
  // Drain what the position output left before the prelude stopped it.
  Collect(*port, milliseconds(300), [](const Bytes&) { return false; });
  Write(*port, sim::TrimblePacket(0x64, Bytes{0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x07, 0x08,
                                              0x03, 0x00, 0x03, 0x00, 0x24, 0x00, 0x00, 0x00}));
  out = Collect(*port, milliseconds(2500), [](const Bytes&) { return false; });
  ASSERT_EQ(out.size(), 12u);
  EXPECT_EQ(out[0], '[');  // the capture opens with the receiver's prompt

  port->Close();
  EXPECT_EQ(sim.Terminate(), 0);
  const std::vector<std::string> commands = LoggedCommands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0],
            "hex 17 00 02 00 64 11 01 00 00 03 00 01 00 07 08 0a 00 03 00 02 00 00 00 98 03");
  EXPECT_EQ(commands[1],
            "hex 17 00 02 00 64 11 00 00 00 03 00 01 00 07 08 00 00 00 00 00 00 00 00 88 03");
}

TEST_F(GnssSimTest, NoFixThenPulledCable) {
  SimProcess sim({"--link", Link(), "--no-fix", "3600", "--close-after", "0", "--acks"});
  ASSERT_TRUE(sim.Started());
  ASSERT_FALSE(sim.ReadyLine().empty());
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  Write(*port, std::string("log gpgga ontime 1\r\n"));
  Bytes out = Collect(*port, milliseconds(4000),
                      [](const Bytes& b) { return Contains(b, "$GPGGA") && b.back() == '\n'; });
  const std::string text(out.begin(), out.end());
  EXPECT_EQ(text.find("<OK\r\n[COM1]"), 0u) << text;
  EXPECT_NE(text.find(".00,,,,,0,00,"), std::string::npos) << text;

  // The first correction burst finds the cable pulled: reads fail.
  Write(*port, std::string("log rtcm1004b ontime 1\r\n"));
  uint8_t buffer[256];
  const auto end = steady_clock::now() + milliseconds(4000);
  int n = 0;
  while (steady_clock::now() < end && (n = port->Read(buffer, sizeof buffer)) >= 0) {
  }
  EXPECT_EQ(n, -1);
  EXPECT_EQ(sim.Terminate(), 0);
}

TEST(GnssSimProtocolTest, CaptureEpochsAndGsofPages) {
  std::ifstream in(std::string(CORVANE_SOURCE_DIR) + "/tests/data/rtcm3/testglo.rtcm3",
                   std::ios::binary);
  const Bytes capture((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(capture.size(), 57931u);
  const std::vector<Bytes> epochs = sim::SplitRtcm3Epochs(capture);
  // One epoch per second of 1004 + 1012 observations; no byte lost.
  EXPECT_EQ(epochs.size(), 186u);
  size_t total = 0;
  for (const Bytes& epoch : epochs) total += epoch.size();
  EXPECT_EQ(total, capture.size());

  const std::vector<Bytes> pages = sim::GsofReport(7, Bytes(600, 0x11));
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0][3], 3 + 248);
  EXPECT_EQ(pages[2][3], 3 + 104);
  EXPECT_EQ(pages[2][5], 2);  // page index
  EXPECT_EQ(pages[2][6], 2);  // last page index

  // A GGA without a fix keeps its position fields empty.
  sim::SimFix noFix;
  noFix.quality = 0;
  EXPECT_EQ(sim::BuildGga(noFix, sim::UtcTime{2017, 3, 19, 8, 0, 1}).substr(0, 31),
            "$GPGGA,080001.00,,,,,0,00,99.9,");
  const sim::UtcTime t = sim::UtcFromUnix(1489910400);  // 2017-03-19 08:00:00
  EXPECT_EQ(t.year, 2017);
  EXPECT_EQ(t.month, 3);
  EXPECT_EQ(t.day, 19);
  EXPECT_EQ(t.hour, 8);
  uint16_t week = 0;
  uint32_t millis = 0;
  sim::GpsTime(1489910400000LL - 8 * 3600000LL - 18000, week, millis);
  EXPECT_EQ(week, 1941);
  EXPECT_EQ(millis, 0u);
}

}  // namespace
}  // namespace corvane
