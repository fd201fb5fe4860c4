// The GpsReceiver with its real channel and decoders on a pseudo-terminal,
// against a small scripted receiver: position output starts only once the
// position-output commands have arrived.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ComLink.h"
#include "fixtures/RecordingEventLog.h"
#include "receiver/GpsReceiver.h"
#include "receiver/ReceiverRig.h"
#include "receiver/RelayPort.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ComLink;
using testing::FakeClock;
using testing::SinkRecord;
using testing::WaitUntil;

std::string NmeaSentence(const std::string& body) {
  unsigned checksum = 0;
  for (char c : body) checksum ^= static_cast<uint8_t>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", checksum);
  return "$" + body + tail;
}

void PutBigEndian(std::string& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// A single-page GSOF report: record 2 (position in radians, with the
// receiver's degrees-per-radian factor), then record 1 (week 1941, time of
// week 0, position flags 0x01).
std::string GsofReport(double latitude, double longitude, double height) {
  std::string records;
  records += '\x02';
  records += '\x18';
  constexpr double kDegreesPerRadian = 57.295780490442965;
  for (double value : {latitude / kDegreesPerRadian, longitude / kDegreesPerRadian, height}) {
    PutBigEndian(records, std::bit_cast<uint64_t>(value), 8);
  }
  records += '\x01';
  records += '\x0a';
  PutBigEndian(records, 0, 4);
  PutBigEndian(records, 1941, 2);
  records += std::string("\x0c\x00\x01\x00", 4);
  std::string data = std::string(3, '\0') + records;
  std::string packet = "\x02";
  packet += '\x00';
  packet += '\x40';
  packet += static_cast<char>(data.size());
  packet += data;
  unsigned sum = 0x40 + static_cast<unsigned>(data.size());
  for (char c : data) sum += static_cast<uint8_t>(c);
  packet += static_cast<char>(sum & 0xff);
  packet += '\x03';
  return packet;
}

// Reads what the receiver object sends; once `trigger` has arrived, sends
// `output` every 20 ms.
class ScriptedReceiver {
 public:
  ScriptedReceiver(ComLink& com, std::string trigger, std::string output)
      : com_(com), trigger_(std::move(trigger)), output_(std::move(output)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedReceiver() {
    stop_ = true;
    thread_.join();
  }
  std::string Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    uint8_t buffer[1024];
    bool talking = false;
    while (!stop_) {
      const int n = com_.Pty().Read(buffer, sizeof buffer, 20ms);
      if (n > 0) {
        std::lock_guard lock(mutex_);
        received_.append(reinterpret_cast<const char*>(buffer), n);
        talking = talking || received_.find(trigger_) != std::string::npos;
      }
      if (talking) {
        com_.Pty().Write(reinterpret_cast<const uint8_t*>(output_.data()),
                         static_cast<int>(output_.size()), 100ms);
      }
    }
  }

  ComLink& com_;
  std::string trigger_;
  std::string output_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

TEST(GpsReceiverPtyTest, NovAtelReceiverReachesAFixOverNmea) {
  ComLink com(3);
  ASSERT_TRUE(com.Ready());
  ScaledTimeSource time(20);
  FakeClock clock;
  SinkRecord sinks;
  const std::string output =
      NmeaSentence("GPGGA,123519.00,3130.0000,N,12015.0000,W,1,08,0.9,12.5,M,0.0,M,,") +
      NmeaSentence("GPRMC,123519.00,A,3130.0000,N,12015.0000,W,0.0,0.0,061226,,,A");
  ScriptedReceiver device(com, "log gprmc ontime 1\r\n", output);
  {
    GpsReceiver receiver(std::make_unique<SerialChannel>(time), time, clock, sinks.Sinks());
    receiver.SelectDecoder(0);
    ASSERT_TRUE(receiver.OpenGpsPort(3, 115200));
    ASSERT_TRUE(WaitUntil([&] { return receiver.Fix().FixQuality() >= 1; }));
    const PositionFix fix = receiver.Fix().Snapshot();
    EXPECT_DOUBLE_EQ(fix.Latitude, 31.5);
    EXPECT_DOUBLE_EQ(fix.Longitude, -120.25);
    EXPECT_DOUBLE_EQ(fix.Altitude, 12.5);
    ASSERT_TRUE(WaitUntil([&] { return receiver.Fix().Snapshot().Year != 0; }));
    EXPECT_TRUE(receiver.AdjustTime());
    receiver.CloseGpsPort();
    EXPECT_FALSE(receiver.IsOpen());

    // The port is free again for the relay port right after the close.
    testing::RecordingEventLog log;
    EXPECT_NE(OpenRelayPort(com.Name(), 115200, log), nullptr);
  }
  const auto set = clock.Set();
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0].Year, 2026);
  EXPECT_EQ(set[0].Month, 12);
  EXPECT_EQ(set[0].Day, 6);
  EXPECT_EQ(set[0].Hour, 12);
  EXPECT_EQ(set[0].Minute, 35);
  EXPECT_EQ(set[0].Second, 19);
  EXPECT_EQ(
      device.Received(),
      "unlogall\r\nunlogall\r\nunlogall\r\nunlogall\r\n"
      "log gpgga ontime 1\r\nlog gpgga ontime 1\r\nlog gprmc ontime 1\r\nlog gprmc ontime 1\r\n"
      "fix none\r\nfix none\r\n");
}

TEST(GpsReceiverPtyTest, TrimbleReceiverReachesAFixOverGsof) {
  ComLink com(4);
  ASSERT_TRUE(com.Ready());
  ScaledTimeSource time(20);
  FakeClock clock;
  SinkRecord sinks;
  // The last of the three output-record packets: record 1 on.
  const std::string lastCommand("\x07\x08\x0a\x00\x03\x00\x01\x00\x00\x00\x99\x03", 12);
  ScriptedReceiver device(com, lastCommand, GsofReport(-33.85, 151.2, 40.0));
  {
    GpsReceiver receiver(std::make_unique<SerialChannel>(time), time, clock, sinks.Sinks());
    receiver.SelectDecoder(4);
    ASSERT_TRUE(receiver.OpenGpsPort(4, 38400));
    ASSERT_TRUE(WaitUntil([&] { return receiver.Fix().FixQuality() >= 1; }));
    const PositionFix fix = receiver.Fix().Snapshot();
    EXPECT_NEAR(fix.Latitude, -33.85, 1e-6);
    EXPECT_NEAR(fix.Longitude, 151.2, 1e-6);
    EXPECT_DOUBLE_EQ(fix.Altitude, 40.0);
    EXPECT_EQ(fix.Year, 2017);
    EXPECT_EQ(fix.Hour, 8);
  }
  const std::string received = device.Received();
  EXPECT_EQ(received.size(), 75u) << "three 25-byte packets, no \"fix none\"";
}

}  // namespace
}  // namespace corvane
