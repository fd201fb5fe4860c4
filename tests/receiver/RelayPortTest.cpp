// The raw relay port on a pseudo-terminal: its log.txt lines, its line and
// time-out settings and the refusals of WriteRelayPort.
#include "receiver/RelayPort.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ComLink.h"
#include "fixtures/RecordingEventLog.h"

namespace corvane {
namespace {

using testing::Bytes;
using testing::ComLink;
using testing::RecordingEventLog;

TEST(RelayPortTest, OpensConfiguredAndWrites) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  RecordingEventLog log;
  std::shared_ptr<SerialDevice> port = OpenRelayPort("COM3", 38400, log);
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(log.FileLines().empty());
  EXPECT_TRUE(log.Events().empty());

  termios tio{};
  ASSERT_EQ(tcgetattr(com.Pty().Master(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  SerialTimeouts timeouts;
  ASSERT_TRUE(port->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 20u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);

  // The relay reader reads while the command set is written.
  std::vector<uint8_t> stream(700);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> relayed;
  std::thread reader([&] {
    uint8_t buffer[1024];
    while (relayed.size() < stream.size()) {
      const int n = port->Read(buffer, sizeof buffer);
      if (n < 0) break;
      relayed.insert(relayed.end(), buffer, buffer + n);
    }
  });
  const std::vector<uint8_t> line = Bytes("log rtcm1033b ontime 10\r\n");
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), static_cast<int>(line.size())), 25);
  com.Send(stream);
  reader.join();
  EXPECT_EQ(relayed, stream);
  EXPECT_EQ(com.Receive(25), line);

  // Refusals write nothing.
  std::vector<uint8_t> big(513, 0x02);
  EXPECT_EQ(WriteRelayPort(nullptr, line.data(), 5), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), nullptr, 5), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 0), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), -3), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), big.data(), 513), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), big.data(), 512), 512);
  EXPECT_EQ(com.Receive(513, std::chrono::milliseconds(300)), std::vector<uint8_t>(512, 0x02));

  // A failing device write gives 0; a closed port is refused.
  com.Pty().CloseMaster();
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 5), 0);
  port->Close();
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 5), -1);
  EXPECT_TRUE(log.FileLines().empty());
}

TEST(RelayPortTest, FailuresWriteTheirLines) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  std::filesystem::create_symlink(com.Home() / "unplugged", com.Home() / "dosdevices" / "com6");
  RecordingEventLog log;
  EXPECT_EQ(OpenRelayPort("COM6", 115200, log), nullptr);
  EXPECT_EQ(log.FileLines(), std::vector<std::string>{"hComm == INVALID_HANDLE_VALUE Error!\n"});

  // The port is busy while the relay holds it.
  auto held = OpenRelayPort("COM3", 115200, log);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(OpenRelayPort("COM3", 115200, log), nullptr);
  held->Close();

  // A rejected line state is logged and the port is returned anyway.
  RecordingEventLog second;
  std::shared_ptr<SerialDevice> port = OpenRelayPort("COM3", 12345, second);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(second.FileLines(), std::vector<std::string>{"SetCommState Error!\n"});
  EXPECT_TRUE(second.Events().empty());
  SerialTimeouts timeouts;
  ASSERT_TRUE(port->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 20u);
}

}  // namespace
}  // namespace corvane
