// The termios serial device on pseudo-terminals: line settings, exclusive
// use, name resolution, the read time-outs and the wake-up on Close.
#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <limits>
#include <thread>

#include "ComLink.h"
#include "platform/SerialDevice.h"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::Bytes;
using testing::ComLink;

TEST(SerialDeviceTest, LineStateReachesTheTerminal) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  int error = -1;
  auto device = OpenSerialDevice(com.Name() + ":", &error);
  ASSERT_NE(device, nullptr) << error;
  EXPECT_EQ(error, 0);

  ASSERT_TRUE(device->SetLineState(LineState{9600, 8, 0, 0}));
  termios tio{};
  ASSERT_EQ(tcgetattr(com.Pty().Master(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  ASSERT_TRUE(device->SetLineState(LineState{115200, 8, 0, 0}));
  ASSERT_EQ(tcgetattr(com.Pty().Master(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));

  // A rate the driver has no code for is refused and changes nothing.
  EXPECT_FALSE(device->SetLineState(LineState{12345, 8, 0, 0}));
  EXPECT_EQ(device->LastError(), EINVAL);
  EXPECT_FALSE(device->SetLineState(LineState{115200, 9, 0, 0}));
  ASSERT_EQ(tcgetattr(com.Pty().Master(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));

  // Binary: every byte value goes through unchanged, both ways.
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(device->Write(all.data(), 256), 256);
  EXPECT_EQ(com.Receive(256), all);
  com.Send(all);
  SerialTimeouts timeouts;
  timeouts.ReadTotalTimeoutConstant = 2000;
  ASSERT_TRUE(device->SetTimeouts(timeouts));
  std::vector<uint8_t> got(256);
  int total = 0;
  while (total < 256) {
    const int n = device->Read(got.data() + total, 256 - total);
    ASSERT_GT(n, 0);
    total += n;
  }
  EXPECT_EQ(got, all);
}

TEST(SerialDeviceTest, NamesExclusiveUseAndMissingDevices) {
  ComLink com(4);
  ASSERT_TRUE(com.Ready());
  EXPECT_EQ(SerialDevicePath("com4:"), com.Link());
  EXPECT_EQ(SerialDevicePath("COM4"), com.Link());
  EXPECT_EQ(SerialDevicePath("COM2"), "/dev/ttyS1");  // no link: the host's port
  EXPECT_EQ(SerialDevicePath("COM12:"), "/dev/ttyS11");
  EXPECT_TRUE(SerialDevicePath("LPT1").empty());
  EXPECT_TRUE(SerialDevicePath("COM0").empty());
  EXPECT_TRUE(SerialDevicePath("COMX").empty());

  auto first = OpenSerialDevice("COM4:");
  ASSERT_NE(first, nullptr);
  int error = 0;
  EXPECT_EQ(OpenSerialDevice("COM4", &error), nullptr);
  EXPECT_EQ(error, EBUSY);
  first->Close();
  EXPECT_FALSE(first->IsOpen());
  auto again = OpenSerialDevice("COM4", &error);
  EXPECT_NE(again, nullptr) << error;

  // A link to nothing fails and never falls through to the host's port.
  std::filesystem::create_symlink(com.Home() / "no-such-tty", com.Home() / "dosdevices" / "com7");
  EXPECT_EQ(OpenSerialDevice("COM7:", &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(OpenSerialDevice("PRN", &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  // Something that is no terminal is no serial port.
  std::filesystem::path plain = com.Home() / "plain";
  { std::ofstream(plain) << "x"; }
  std::filesystem::create_symlink(plain, com.Home() / "dosdevices" / "com8");
  EXPECT_EQ(OpenSerialDevice("COM8", &error), nullptr);
  EXPECT_EQ(error, ENOTTY);
}

TEST(SerialDeviceTest, ReadTimeoutsFollowTheRecord) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  auto device = OpenSerialDevice(com.Name());
  ASSERT_NE(device, nullptr);
  SerialTimeouts timeouts;
  ASSERT_TRUE(device->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);  // a fresh port waits for its first byte
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
  uint8_t buffer[128];

  // MAXDWORD interval: return at once with what is there.
  timeouts.ReadIntervalTimeout = std::numeric_limits<uint32_t>::max();
  ASSERT_TRUE(device->SetTimeouts(timeouts));
  auto start = steady_clock::now();
  EXPECT_EQ(device->Read(buffer, sizeof buffer), 0);
  EXPECT_LT(steady_clock::now() - start, milliseconds(50));

  // Total constant: an empty read ends after it.
  timeouts = SerialTimeouts{};
  timeouts.ReadTotalTimeoutConstant = 60;
  ASSERT_TRUE(device->SetTimeouts(timeouts));
  start = steady_clock::now();
  EXPECT_EQ(device->Read(buffer, sizeof buffer), 0);
  EXPECT_GE(steady_clock::now() - start, milliseconds(60));

  // Interval only: the first byte is awaited, then a 20 ms gap ends the read
  // with what came, well before the buffer is full.
  timeouts = SerialTimeouts{};
  timeouts.ReadIntervalTimeout = 20;
  ASSERT_TRUE(device->SetTimeouts(timeouts));
  std::thread sender([&] {
    std::this_thread::sleep_for(milliseconds(100));
    com.Send(Bytes("$GPGGA"));
  });
  start = steady_clock::now();
  const int n = device->Read(buffer, sizeof buffer);
  sender.join();
  EXPECT_EQ(n, 6);
  EXPECT_GE(steady_clock::now() - start, milliseconds(100));

  // A full buffer returns at once.
  com.Send(std::vector<uint8_t>(200, 0x55));
  EXPECT_EQ(device->Read(buffer, 128), 128);
}

TEST(SerialDeviceTest, CloseWakesABlockedReadAndHangUpFailsIt) {
  ComLink com;
  ASSERT_TRUE(com.Ready());
  std::shared_ptr<SerialDevice> device = OpenSerialDevice(com.Name());
  ASSERT_NE(device, nullptr);
  int result = 0;
  int error = 0;
  std::thread reader([&] {
    uint8_t buffer[128];
    result = device->Read(buffer, sizeof buffer);  // all time-outs 0: waits for a byte
    error = device->LastError();
  });
  std::this_thread::sleep_for(milliseconds(50));
  const auto start = steady_clock::now();
  device->Close();
  reader.join();
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, SerialDevice::kAborted);
  uint8_t byte = 0;
  EXPECT_EQ(device->Write(&byte, 1), -1);
  EXPECT_EQ(device->LastError(), EBADF);
  EXPECT_FALSE(device->SetLineState(LineState{}));

  // The released port opens again at once.
  auto next = OpenSerialDevice(com.Name());
  ASSERT_NE(next, nullptr);
  com.Pty().CloseMaster();
  uint8_t buffer[16];
  EXPECT_EQ(next->Read(buffer, sizeof buffer), -1);
  EXPECT_EQ(next->LastError(), EIO);
}

}  // namespace
}  // namespace corvane
