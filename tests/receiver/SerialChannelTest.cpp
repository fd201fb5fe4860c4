// The buffered serial channel on a pseudo-terminal: queues, workers, the
// receive overflow, and reopening after Stop.
#include "receiver/SerialChannel.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "ComLink.h"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::Bytes;
using testing::ComLink;

bool WaitFor(const std::function<bool()>& condition, milliseconds deadline = milliseconds(5000)) {
  const auto end = steady_clock::now() + deadline;
  while (!condition()) {
    if (steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

std::string ReadAll(SerialChannel& channel) {
  uint8_t buffer[16384];
  const int32_t n = channel.Read(buffer, sizeof buffer);
  return std::string(buffer, buffer + n);
}

TEST(SerialChannelTest, QueuesWorkersAndReopening) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  ScaledTimeSource time(100);
  SerialChannel channel(time);

  uint8_t buffer[64];
  auto start = steady_clock::now();
  EXPECT_EQ(channel.Read(buffer, sizeof buffer), 0);
  EXPECT_LT(steady_clock::now() - start, milliseconds(20));
  EXPECT_EQ(channel.Handle(), nullptr);
  EXPECT_FALSE(channel.StartWorkers());

  // Bytes written with no worker wait in the queue.
  EXPECT_EQ(channel.Write(Bytes("unlog").data(), 5), 5);
  EXPECT_EQ(channel.Write(nullptr, 5), 0);

  ASSERT_TRUE(channel.Open(3, 115200));
  ASSERT_NE(channel.Handle(), nullptr);
  termios tio{};
  ASSERT_EQ(tcgetattr(com.Pty().Master(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  SerialTimeouts timeouts;
  ASSERT_TRUE(channel.Handle()->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 50u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);

  // They go out together with the next write, in order.
  ASSERT_TRUE(channel.StartWorkers());
  channel.Write(Bytes("all\r\n").data(), 5);
  EXPECT_EQ(com.Receive(10), Bytes("unlogall\r\n"));

  com.Send(Bytes("$GPGGA,1\r\n"));
  ASSERT_TRUE(WaitFor([&] { return channel.ReceiveQueueLength() == 10; }));
  EXPECT_EQ(channel.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, buffer + 4), "$GPG");

  // Stop ends the worker blocked in its device read at once.
  start = steady_clock::now();
  channel.Stop();
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
  EXPECT_EQ(channel.Handle(), nullptr);

  // Neither Stop nor Open clears the queues.
  channel.Write(Bytes("fix ").data(), 4);
  ASSERT_TRUE(channel.Open(3, 9600));
  ASSERT_EQ(tcgetattr(com.Pty().Master(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(ReadAll(channel), "GA,1\r\n");
  ASSERT_TRUE(channel.StartWorkers());
  channel.Write(Bytes("none\r\n").data(), 6);
  EXPECT_EQ(com.Receive(10), Bytes("fix none\r\n"));
  com.Send(Bytes("ok"));
  ASSERT_TRUE(WaitFor([&] { return channel.ReceiveQueueLength() == 2; }));
  EXPECT_EQ(ReadAll(channel), "ok");

  // Close is for good.
  channel.Close();
  EXPECT_EQ(channel.Handle(), nullptr);
  EXPECT_FALSE(channel.Open(3, 9600));
}

TEST(SerialChannelTest, FullReceiveQueueIsEmptiedBeforeTheNextBlock) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  ScaledTimeSource time(100);
  SerialChannel channel(time);
  ASSERT_TRUE(channel.Open(3, 115200));
  ASSERT_TRUE(channel.StartWorkers());

  // 8192 bytes held is not yet too many: the next byte is appended.
  com.Send(std::vector<uint8_t>(SerialChannel::kRxQueueLimit, 'a'));
  ASSERT_TRUE(WaitFor([&] { return channel.ReceiveQueueLength() == 8192; }));
  com.Send(Bytes("b"));
  ASSERT_TRUE(WaitFor([&] { return channel.ReceiveQueueLength() == 8193; }));
  // 8193 held: the next block replaces everything.
  com.Send(Bytes("$GPRMC,x*"));
  ASSERT_TRUE(WaitFor([&] { return channel.ReceiveQueueLength() != 8193; }));
  EXPECT_EQ(ReadAll(channel), "$GPRMC,x*");

  // A receive block is at most 128 bytes: 300 bytes arrive, the queue
  // grows by blocks and ends with all of them in order.
  std::string text;
  for (int i = 0; i < 300; ++i) text.push_back(static_cast<char>('0' + i % 10));
  com.Send(Bytes(text));
  ASSERT_TRUE(WaitFor([&] { return channel.ReceiveQueueLength() == 300; }));
  EXPECT_EQ(ReadAll(channel), text);
}

TEST(SerialChannelTest, OpenWithoutDeviceFails) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  std::filesystem::create_symlink(com.Home() / "gone", com.Home() / "dosdevices" / "com5");
  ScaledTimeSource time(100);
  SerialChannel channel(time);
  EXPECT_FALSE(channel.Open(5, 115200));
  EXPECT_EQ(channel.Handle(), nullptr);
  EXPECT_FALSE(channel.StartWorkers());

  // A rate the line refuses closes the port again.
  EXPECT_FALSE(channel.Open(3, 12345));
  EXPECT_EQ(channel.Handle(), nullptr);
  // The device is released: it opens at once afterwards.
  EXPECT_TRUE(channel.Open(3, 4800));
  EXPECT_TRUE(channel.Reconfigure(19200));
  SerialTimeouts timeouts;
  ASSERT_TRUE(channel.Handle()->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 100u);
  EXPECT_FALSE(channel.Reconfigure(12345));
  EXPECT_EQ(channel.Handle(), nullptr);
}

TEST(SerialChannelTest, HangUpEndsTheWorkersQuietly) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  ScaledTimeSource time(100);
  {
    SerialChannel channel(time);
    ASSERT_TRUE(channel.Open(3, 115200));
    ASSERT_TRUE(channel.StartWorkers());
    com.Pty().CloseMaster();
    // Writes still queue after the line is gone; the destructor joins both
    // workers (the receive worker keeps retrying its failing reads).
    EXPECT_EQ(channel.Write(Bytes("unlogall\r\n").data(), 10), 10);
    EXPECT_EQ(channel.Write(Bytes("unlogall\r\n").data(), 10), 10);
  }
}

TEST(SerialChannelTest, CallersOnManyThreads) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  ScaledTimeSource time(100);
  SerialChannel channel(time);
  std::atomic<bool> done{false};
  // A decoder's commands and a data pump, as while the receiver is started.
  std::thread writer([&] {
    while (!done.load()) {
      channel.Write(Bytes("log gpgga ontime 1\r\n").data(), 20);
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  std::thread pump([&] {
    uint8_t buffer[6144];
    while (!done.load()) {
      channel.Read(buffer, sizeof buffer);
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(channel.Open(3, 115200));
    ASSERT_TRUE(channel.StartWorkers());
    com.Send(Bytes("$GPGGA,1\r\n"));
    EXPECT_FALSE(com.Receive(20).empty());
    // The retry worker and the controlling thread may both give up at once.
    std::thread other([&] { channel.Stop(); });
    channel.Stop();
    other.join();
    EXPECT_EQ(channel.Handle(), nullptr);
  }
  done.store(true);
  writer.join();
  pump.join();
}

}  // namespace
}  // namespace corvane
