// The termios serial device, the buffered serial channel and the raw relay
// port, each on a real pseudo-terminal that the data folder's dosdevices/com3
// link points at; the channel's worker loops also on a stub port.
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

using Bytes = std::vector<uint8_t>;
using std::chrono::steady_clock;

Bytes Text(std::string_view text) {
  return {text.begin(), text.end()};
}

// COM3 in a temporary CORVANE_HOME; COM5 links to no device.
struct ComLink {
  ComLink() {
    ::setenv("CORVANE_HOME", home.path().c_str(), 1);
    std::filesystem::create_directories(home.path() / "dosdevices");
    std::filesystem::create_symlink(pty->SlavePath(), home.path() / "dosdevices/com3");
    std::filesystem::create_symlink(home.path() / "gone", home.path() / "dosdevices/com5");
  }
  ~ComLink() { ::unsetenv("CORVANE_HOME"); }

  // What the far end received, gathered until `count` bytes came or the
  // deadline passed.
  Bytes Receive(size_t count, std::chrono::milliseconds deadline = 5s) {
    Bytes bytes;
    uint8_t buffer[4096];
    WaitUntil(
        [&] {
          const int n = pty->Read(buffer, sizeof buffer, 20ms);
          bytes.insert(bytes.end(), buffer, buffer + std::max(n, 0));
          return n < 0 || bytes.size() >= count;
        },
        deadline);
    return bytes;
  }
  void Send(const Bytes& bytes) {
    ASSERT_EQ(pty->Write(bytes.data(), static_cast<int>(bytes.size()), 5s),
              static_cast<int>(bytes.size()));
  }
  // The line as the far end sees it: its input and output rates, then the
  // control, local, input and output flags that make a raw 8N1 line.
  auto Line() {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty->Master(), &tio), 0);
    return std::tuple(cfgetispeed(&tio), cfgetospeed(&tio),
                      tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                      tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN),
                      tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK), tio.c_oflag & OPOST);
  }

  TempDir home;
  std::unique_ptr<PseudoTerminal> pty = PseudoTerminal::Create();
};

// A raw 8N1 line at `rate` with the receiver on the far end, as Line() shows it.
auto Raw8N1(speed_t rate) {
  return std::tuple(rate, rate, tcflag_t{CS8 | CLOCAL | CREAD}, tcflag_t{0}, tcflag_t{0},
                    tcflag_t{0});
}

TEST(SerialDeviceTest, ARateWithoutACodeIsRefusedAndChangesNothing) {
  ComLink com;
  auto device = OpenSerialDevice("COM3:");
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->SetLineState(LineState{9600, 8, 0, 0}));
  EXPECT_FALSE(device->SetLineState(LineState{12345, 8, 0, 0}));
  EXPECT_EQ(device->LastError(), EINVAL);
  EXPECT_EQ(com.Line(), Raw8N1(B9600));
}

TEST(SerialChannelTest, QueuesWorkersOverflowAndReopening) {
  ComLink com;
  ScaledTimeSource time(100);
  SerialChannel channel(time);
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
  EXPECT_EQ(channel.Write(Text("unlog").data(), 5), 5);

  // What came before the opening is discarded.
  com.Send(Text("stale"));
  ASSERT_TRUE(channel.Open(3, 115200));
  EXPECT_EQ(com.Line(), Raw8N1(B115200));
  SerialTimeouts timeouts;
  ASSERT_TRUE(channel.Handle()->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 50u);

  // ...and go out with the next write once the workers run, in order.
  ASSERT_TRUE(channel.StartWorkers());
  channel.Write(Text("all\r\n").data(), 5);
  EXPECT_EQ(com.Receive(10), Text("unlogall\r\n"));
  com.Send(Text("$GPGGA,1\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() >= 10; }));
  EXPECT_EQ(channel.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, buffer + 4), "$GPG");

  // Stop ends the worker blocked in its device read at once: closing the
  // device wakes the read.
  start = steady_clock::now();
  channel.Stop();
  EXPECT_LT(steady_clock::now() - start, 1000ms);
  EXPECT_EQ(channel.Handle(), nullptr);

  // Open after Stop works on the same object; neither clears the queues.
  channel.Write(Text("fix ").data(), 4);
  ASSERT_TRUE(channel.Open(3, 9600));
  EXPECT_EQ(com.Line(), Raw8N1(B9600));
  EXPECT_EQ(std::string(buffer, buffer + channel.Read(buffer, sizeof buffer)), "GA,1\r\n");
  ASSERT_TRUE(channel.StartWorkers());
  channel.Write(Text("none\r\n").data(), 6);
  EXPECT_EQ(com.Receive(10), Text("fix none\r\n"));

  // 8192 bytes held is not yet too many: the next byte is appended.
  com.Send(Bytes(SerialChannel::kRxQueueLimit, 'a'));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() == 8192; }));
  com.Send(Text("b"));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() == 8193; }));
  // 8193 held: the next block replaces everything.
  com.Send(Text("$GPRMC,x*"));
  ASSERT_TRUE(WaitUntil([&] { return channel.ReceiveQueueLength() != 8193; }));
  EXPECT_EQ(std::string(buffer, buffer + channel.Read(buffer, sizeof buffer)), "$GPRMC,x*");

  // The controlling thread and the retry worker may both stop at once.
  std::thread other([&] { channel.Stop(); });
  channel.Stop();
  other.join();
  channel.Close();  // for good
  EXPECT_FALSE(channel.Open(3, 9600));
}

// The workers' loops, run on this thread against a stub port: a receive pass
// reads at most 128 bytes, then waits 50 ms; Stop pauses 100 ms before it
// closes the port; a failed write ends the transmit loop at once.
TEST(SerialChannelTest, WorkerLoopsOnAStubPort) {
  struct Port final : StubSerialDevice {
    int Read(uint8_t*, int capacity) override {
      reads.push_back(capacity);
      open = false;
      return 0;
    }
    int Write(const uint8_t* bytes, int count) override {
      writes.emplace_back(bytes, bytes + count);
      if (duringWrite) std::exchange(duringWrite, nullptr)();
      return -1;
    }
    std::vector<int> reads;
    std::vector<std::string> writes;
    std::function<void()> duringWrite;
  };
  VirtualTimeSource time;
  SerialChannel channel(time);
  auto port = std::make_shared<Port>();
  channel.ReceiveLoop(port);
  EXPECT_EQ(port->reads, std::vector<int>{128});
  EXPECT_EQ(time.Now(), 50ms);

  channel.Write(Text("abc").data(), 3);
  channel.Stop();
  EXPECT_EQ(time.Sleeps(), std::vector<Millis>{100ms});
  port->duringWrite = [&] { channel.Write(Text("def").data(), 3); };
  channel.TransmitLoop(port);
  EXPECT_EQ(port->writes, std::vector<std::string>{"abc"});
}

TEST(RelayPortTest, WritesRefusesAndLogsItsFailures) {
  ComLink com;
  RecordingEventLog log;
  EXPECT_EQ(OpenRelayPort("COM5", 115200, log), nullptr);
  // A rejected line state is logged and the port is returned anyway; the
  // port is busy while the relay holds it.
  std::shared_ptr<SerialDevice> port = OpenRelayPort("COM3", 12345, log);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(OpenRelayPort("COM3", 115200, log), nullptr);
  port->Close();

  port = OpenRelayPort("COM3", 38400, log);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(com.Line(), Raw8N1(B38400));
  SerialTimeouts timeouts;
  ASSERT_TRUE(port->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 20u);
  const Bytes line = Text("log rtcm1033b ontime 10\r\n");
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 25), 25);
  EXPECT_EQ(com.Receive(25), line);
  // Refusals write nothing; 512 bytes is the most one call takes. Raw: every
  // byte value goes through unchanged.
  Bytes big(513);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(WriteRelayPort(nullptr, line.data(), 5), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), nullptr, 5), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 0), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), -3), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), big.data(), 513), -1);
  EXPECT_EQ(WriteRelayPort(port.get(), big.data(), 512), 512);
  EXPECT_EQ(com.Receive(513, 300ms), Bytes(big.begin(), big.begin() + 512));
  // A failing device write gives 0; a closed port is refused. Neither is
  // logged, nor is anything after the busy port.
  com.pty->CloseMaster();
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 5), 0);
  port->Close();
  EXPECT_EQ(WriteRelayPort(port.get(), line.data(), 5), -1);
  const std::string noPort = "hComm == INVALID_HANDLE_VALUE Error!\n";
  EXPECT_EQ(log.FileLines(), (std::vector<std::string>{noPort, "SetCommState Error!\n", noPort}));
  EXPECT_TRUE(log.Events().empty());
}

}  // namespace
}  // namespace corvane::testing
