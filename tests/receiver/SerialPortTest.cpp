// The termios serial device, the buffered serial channel and the raw relay
// port, each on a real pseudo-terminal.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <thread>

#include "ComLink.h"
#include "fixtures/RecordingEventLog.h"
#include "receiver/RelayPort.h"
#include "receiver/SerialChannel.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using testing::Bytes;
using testing::ComLink;
using testing::WaitUntil;

speed_t Baud(ComLink& com) {
  termios tio{};
  EXPECT_EQ(tcgetattr(com.Pty().Master(), &tio), 0);
  return cfgetospeed(&tio);
}

TEST(SerialDeviceTest, LineStateAndRawBytes) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  auto device = OpenSerialDevice("COM3:");
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->SetLineState(LineState{9600, 8, 0, 0}));
  termios tio{};
  ASSERT_EQ(tcgetattr(com.Pty().Master(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  // A rate the driver has no code for is refused and changes nothing.
  ASSERT_TRUE(device->SetLineState(LineState{115200, 8, 0, 0}));
  EXPECT_FALSE(device->SetLineState(LineState{12345, 8, 0, 0}));
  EXPECT_EQ(device->LastError(), EINVAL);
  EXPECT_EQ(Baud(com), static_cast<speed_t>(B115200));

  // Raw: every byte value goes through unchanged.
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(device->Write(all.data(), 256), 256);
  EXPECT_EQ(com.Receive(256), all);
}

TEST(SerialChannelTest, QueuesWorkersOverflowAndReopening) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  ScaledTimeSource time(100);
  SerialChannel channel(time);
  com.LinkNowhere(5);
  EXPECT_FALSE(channel.Open(5, 115200));
  // A rate the line refuses closes the port again.
  EXPECT_FALSE(channel.Open(3, 12345));
  EXPECT_EQ(channel.Handle(), nullptr);

  uint8_t buffer[64];
  auto start = steady_clock::now();
  EXPECT_EQ(channel.Read(buffer, sizeof buffer), 0);
  EXPECT_LT(steady_clock::now() - start, 20ms);
  EXPECT_FALSE(channel.StartWorkers());
  // Bytes written with no worker wait in the queue...
  EXPECT_EQ(channel.Write(Bytes("unlog").data(), 5), 5);

  ASSERT_TRUE(channel.Open(3, 115200));
  EXPECT_EQ(Baud(com), static_cast<speed_t>(B115200));
  SerialTimeouts timeouts;
  ASSERT_TRUE(channel.Handle()->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 50u);

  // ...and go out with the next write once the workers run, in order.
  ASSERT_TRUE(channel.StartWorkers());
  channel.Write(Bytes("all\r\n").data(), 5);
  EXPECT_EQ(com.Receive(10), Bytes("unlogall\r\n"));
  com.Send(Bytes("$GPGGA,1\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() == 10; }));
  EXPECT_EQ(channel.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, buffer + 4), "$GPG");

  // Stop ends the worker blocked in its device read at once: closing the
  // device wakes the read.
  start = steady_clock::now();
  channel.Stop();
  EXPECT_LT(steady_clock::now() - start, 1000ms);
  EXPECT_EQ(channel.Handle(), nullptr);

  // Open after Stop works on the same object; neither clears the queues.
  channel.Write(Bytes("fix ").data(), 4);
  ASSERT_TRUE(channel.Open(3, 9600));
  EXPECT_EQ(Baud(com), static_cast<speed_t>(B9600));
  EXPECT_EQ(std::string(buffer, buffer + channel.Read(buffer, sizeof buffer)), "GA,1\r\n");
  ASSERT_TRUE(channel.StartWorkers());
  channel.Write(Bytes("none\r\n").data(), 6);
  EXPECT_EQ(com.Receive(10), Bytes("fix none\r\n"));

  // 8192 bytes held is not yet too many: the next byte is appended.
  com.Send(std::vector<uint8_t>(SerialChannel::kRxQueueLimit, 'a'));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() == 8192; }));
  com.Send(Bytes("b"));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() == 8193; }));
  // 8193 held: the next block replaces everything.
  com.Send(Bytes("$GPRMC,x*"));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() != 8193; }));
  EXPECT_EQ(std::string(buffer, buffer + channel.Read(buffer, sizeof buffer)), "$GPRMC,x*");

  // The controlling thread and the retry worker may both stop at once.
  std::thread other([&] { channel.Stop(); });
  channel.Stop();
  other.join();
  channel.Close();  // for good
  EXPECT_FALSE(channel.Open(3, 9600));
}

TEST(RelayPortTest, WritesRefusesAndLogsItsFailures) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  com.LinkNowhere(6);
  testing::RecordingEventLog failures, rejected, quiet;
  EXPECT_EQ(OpenRelayPort("COM6", 115200, failures), nullptr);
  // A rejected line state is logged and the port is returned anyway; the
  // port is busy while the relay holds it.
  std::shared_ptr<SerialDevice> port = OpenRelayPort("COM3", 12345, rejected);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(OpenRelayPort("COM3", 115200, failures), nullptr);
  EXPECT_EQ(failures.FileLines(),
            std::vector<std::string>(2, "hComm == INVALID_HANDLE_VALUE Error!\n"));
  EXPECT_EQ(rejected.FileLines(), std::vector<std::string>{"SetCommState Error!\n"});
  port->Close();

  port = OpenRelayPort("COM3", 38400, quiet);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(Baud(com), static_cast<speed_t>(B38400));
  SerialTimeouts timeouts;
  ASSERT_TRUE(port->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 20u);
  const std::vector<uint8_t> line = Bytes("log rtcm1033b ontime 10\r\n");
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 25), 25);
  EXPECT_EQ(com.Receive(25), line);
  // Refusals write nothing; 512 bytes is the most one call takes.
  std::vector<uint8_t> big(513, 0x02);
  EXPECT_EQ(WriteRelayPort(nullptr, line.data(), 5), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), nullptr, 5), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 0), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), -3), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), big.data(), 513), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), big.data(), 512), 512);
  EXPECT_EQ(com.Receive(513, 300ms), std::vector<uint8_t>(512, 0x02));
  // A failing device write gives 0; a closed port is refused.
  com.Pty().CloseMaster();
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 5), 0);
  port->Close();
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 5), -1);
  EXPECT_TRUE(quiet.FileLines().empty());
  EXPECT_TRUE(quiet.Events().empty());
}

}  // namespace
}  // namespace corvane
