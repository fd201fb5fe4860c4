// The buffered serial channel and then the raw relay port on one real
// pseudo-terminal that the data folder's dosdevices/com3 link points at; the
// channel's worker loops also on a stub port.
#include <gtest/gtest.h>
#include <termios.h>

#include "fixtures/Doubles.h"
#include "fixtures/Process.h"
#include "fixtures/TempDir.h"
#include "fixtures/VirtualTime.h"
#include "platform/PseudoTerminal.h"
#include "receiver/RelayPort.h"
#include "receiver/SerialChannel.h"

namespace corvane::testing {
namespace {

const uint8_t* Data(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// COM3 in a temporary CORVANE_HOME.
struct ComLink {
  ComLink() {
    ::setenv("CORVANE_HOME", home.path().c_str(), 1);
    std::filesystem::create_directories(home.path() / "dosdevices");
    std::filesystem::create_symlink(pty->SlavePath(), home.path() / "dosdevices/com3");
  }
  ~ComLink() { ::unsetenv("CORVANE_HOME"); }

  void Send(std::string_view text) {
    ASSERT_EQ(pty->Write(Data(text), static_cast<int>(text.size()), 5s), std::ssize(text));
  }
  // The line as the far end sees it: its input and output rates, the
  // control flags that make 8N1, and any local, input or output flag that
  // would cook a raw line.
  auto Line() {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty->Master(), &tio), 0);
    return std::tuple(cfgetispeed(&tio), cfgetospeed(&tio),
                      tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                      (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) |
                          (tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK)) |
                          (tio.c_oflag & OPOST));
  }

  TempDir home;
  std::unique_ptr<PseudoTerminal> pty = PseudoTerminal::Create();
};

// A raw 8N1 line at `rate` with the receiver on the far end, as Line() shows it.
auto Raw8N1(speed_t rate) {
  return std::tuple(rate, rate, tcflag_t{CS8 | CLOCAL | CREAD}, tcflag_t{0});
}

TEST(SerialChannelTest, QueuesWorkersOverflowReopeningThenTheRelayPort) {
  ComLink com;
  ScaledTimeSource time(100);
  SerialChannel channel(time);
  // A rate the line refuses closes the port again.
  EXPECT_FALSE(channel.Open(3, 12345));
  // Bytes written with no worker wait in the queue...
  EXPECT_EQ(channel.Write(Data("unlog"), 5), 5);

  // What came before the opening is discarded.
  com.Send("stale");
  ASSERT_TRUE(channel.Open(3, 115200));
  EXPECT_EQ(com.Line(), Raw8N1(B115200));

  // ...and go out with the next write once the workers run, in order.
  ASSERT_TRUE(channel.StartWorkers());
  channel.Write(Data("all\r\n"), 5);
  EXPECT_EQ(ReadUntil(com.pty->Master(), "\n"), "unlogall\r\n");
  com.Send("$GPGGA,1\r\n");
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() >= 10; }));
  uint8_t buffer[64];
  EXPECT_EQ(std::string(buffer, buffer + channel.Read(buffer, 4)), "$GPG");

  // Open after Stop works on the same object; neither clears the queues.
  channel.Stop();
  channel.Write(Data("fix "), 4);
  ASSERT_TRUE(channel.Open(3, 9600));
  EXPECT_EQ(com.Line(), Raw8N1(B9600));
  EXPECT_EQ(std::string(buffer, buffer + channel.Read(buffer, sizeof buffer)), "GA,1\r\n");
  ASSERT_TRUE(channel.StartWorkers());
  channel.Write(Data("none\r\n"), 6);
  EXPECT_EQ(ReadUntil(com.pty->Master(), "\n"), "fix none\r\n");

  // 8192 bytes held is not yet too many: the next byte is appended.
  com.Send(std::string(SerialChannel::kRxQueueLimit, 'a'));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() == 8192; }));
  com.Send("b");
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() == 8193; }));
  // 8193 held: the next block replaces everything.
  com.Send("$GPRMC,x*");
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() != 8193; }));
  EXPECT_EQ(std::string(buffer, buffer + channel.Read(buffer, sizeof buffer)), "$GPRMC,x*");

  // The relay port: busy while the receiver's channel holds the line.
  RecordingEventLog log;
  EXPECT_EQ(OpenRelayPort("COM3", 115200, log), nullptr);
  channel.Stop();
  const std::shared_ptr<SerialDevice> port = OpenRelayPort("COM3", 38400, log);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(com.Line(), Raw8N1(B38400));
  // Refusals write nothing (what comes next shows it): no port, nothing to
  // write, more than the 512 bytes one call takes. Raw: every byte value goes
  // through unchanged.
  const std::string line = "log rtcm1033b ontime 10\r\n";
  std::string big(513, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i);
  EXPECT_EQ(WriteRelayPort(nullptr, Data(line), 5), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), Data(line), 0), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), Data(big), 513), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), Data(line), 25), 25);
  EXPECT_EQ(ReadUntil(com.pty->Master(), line), line);
  EXPECT_EQ(WriteRelayPort(port.get(), Data(big), 512), 512);
  EXPECT_EQ(ReadUntil(com.pty->Master(), big.substr(0, 512)), big.substr(0, 512));
  // Logged to the file only.
  EXPECT_EQ(log.FileLines(), std::vector<std::string>{"hComm == INVALID_HANDLE_VALUE Error!\n"});
  EXPECT_TRUE(log.Events().empty());
}

// The workers' loops, run on this thread against a stub port: a receive pass
// reads at most 128 bytes, then waits 50 ms; Stop pauses 100 ms before it
// closes the port; a failed write ends the transmit loop at once, though more
// bytes wait.
TEST(SerialChannelTest, WorkerLoopsOnAStubPort) {
  // Records each read's capacity and each write's bytes; a write fails, and
  // the first queues its bytes once more.
  struct Port final : StubSerialDevice {
    int Read(uint8_t*, int capacity) override {
      calls.push_back("read " + std::to_string(capacity));
      open = false;
      return 0;
    }
    int Write(const uint8_t* bytes, int count) override {
      calls.emplace_back(bytes, bytes + count);
      if (channel != nullptr) std::exchange(channel, nullptr)->Write(bytes, count);
      return -1;
    }
    std::vector<std::string> calls;
    SerialChannel* channel = nullptr;
  };
  VirtualTimeSource time;
  SerialChannel channel(time);
  auto port = std::make_shared<Port>();
  channel.ReceiveLoop(port);
  channel.Write(Data("abc"), 3);
  channel.Stop();
  port->channel = &channel;
  channel.TransmitLoop(port);
  EXPECT_EQ(port->calls, (std::vector<std::string>{"read 128", "abc"}));
  EXPECT_EQ(std::pair(time.Now(), time.Sleeps()), std::pair(150ms, std::vector<Millis>{100ms}));
}

}  // namespace
}  // namespace corvane::testing
