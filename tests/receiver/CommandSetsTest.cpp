#include "receiver/CommandSets.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "ComLink.h"
#include "fixtures/RecordingEventLog.h"
#include "fixtures/VirtualTime.h"
#include "receiver/RecordingSerialDevice.h"
#include "receiver/RelayPort.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::RecordingSerialDevice;
using testing::VirtualTimeSource;

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += ' ';
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

std::string Hex(const std::string& bytes) {
  return Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

struct ConsoleRecorder {
  std::vector<std::string> lines;
  TextSink Sink() {
    return [this](std::string_view text) { lines.emplace_back(text); };
  }
};

// Every write of a run, and the pause that followed it (the time up to the
// next write, or to the end of the run for the last one).
struct Transcript {
  std::vector<std::string> lines;
  std::vector<Millis> pauses;
};

Transcript Record(const RecordingSerialDevice& device, VirtualTimeSource& time) {
  Transcript transcript;
  const auto& writes = device.Writes();
  for (size_t i = 0; i < writes.size(); ++i) {
    transcript.lines.push_back(writes[i].Bytes);
    const Millis next = i + 1 < writes.size() ? writes[i + 1].At : time.Now();
    transcript.pauses.push_back(next - writes[i].At);
  }
  return transcript;
}

Settings NovAtelSettings(int32_t diffType) {
  Settings settings;
  settings.GPSBoard = kBoardNovAtel;
  settings.DiffType = diffType;
  settings.Coordinate = kCoordinateInput;
  settings.BaseLat = 31.5;
  settings.BaseLon = -120.25;
  settings.BaseH = 12.5;
  return settings;
}

TEST(CommandSetsTest, PutDoubleBigEndianWritesTheBinary64Pattern) {
  uint8_t bytes[8];
  PutDoubleBigEndian(1.5, bytes);
  EXPECT_EQ(Hex(bytes, 8), "3f f8 00 00 00 00 00 00");
  PutDoubleBigEndian(-2.0, bytes);
  EXPECT_EQ(Hex(bytes, 8), "c0 00 00 00 00 00 00 00");
  PutDoubleBigEndian(32.0, bytes);
  EXPECT_EQ(Hex(bytes, 8), "40 40 00 00 00 00 00 00");
  PutDoubleBigEndian(0.0, bytes);
  EXPECT_EQ(Hex(bytes, 8), "00 00 00 00 00 00 00 00");
  PutDoubleBigEndian(-0.0, bytes);
  EXPECT_EQ(Hex(bytes, 8), "00 00 00 00 00 00 00 00");
}

TEST(CommandSetsTest, BasePacketUsesSinglePrecisionPiAndItsChecksum) {
  uint8_t packet[256] = {};
  ASSERT_EQ(BuildBasePacket(packet, sizeof packet, 180.0, -90.0, 12.5), 1);
  // 180 degrees is exactly the single-precision pi, 0x40490FDB widened.
  EXPECT_EQ(Hex(packet + 33, 8), "40 09 21 fb 60 00 00 00");
  EXPECT_EQ(Hex(packet + 41, 8), "bf f9 21 fb 60 00 00 00");
  EXPECT_EQ(Hex(packet + 49, 8), "40 29 00 00 00 00 00 00");
  EXPECT_EQ(packet[134], 0xdf);
  EXPECT_EQ(packet[135], 0x03);
  for (size_t i = 0; i < kBasePacketSize; ++i) {
    if ((i >= 33 && i < 57) || i == 134) continue;
    EXPECT_EQ(packet[i], BasePacketTemplate[i]) << "offset " << i;
  }
  EXPECT_EQ(packet[136], 0) << "nothing beyond the packet is written";

  ASSERT_EQ(BuildBasePacket(packet, kBasePacketSize, 0.0, 0.0, 0.0), 1);
  EXPECT_EQ(Hex(packet + 33, 24), Hex(std::string(24, '\0')));
  EXPECT_EQ(packet[134], 0x7d);

  ASSERT_EQ(BuildBasePacket(packet, kBasePacketSize, 31.5, -120.25, 12.5), 1);
  EXPECT_EQ(Hex(packet + 33, 16), "3f e1 97 c9 90 00 00 00 c0 00 ca 41 e3 55 55 55");
  EXPECT_EQ(packet[134], 0xa3);

  uint8_t small[135] = {};
  EXPECT_EQ(BuildBasePacket(small, sizeof small, 1.0, 1.0, 1.0), 0);
  EXPECT_EQ(small[0], 0) << "a short destination is left untouched";
  EXPECT_EQ(BuildBasePacket(nullptr, 256, 1.0, 1.0, 1.0), 0);
}

TEST(CommandSetsTest, PreludeChecksumMatchesItsFraming) {
  unsigned sum = 0;
  for (size_t i = 3; i < 23; ++i) sum += PreludePacket[i];
  EXPECT_EQ(sum % 256, PreludePacket[23]);
  EXPECT_EQ(PreludePacket[5], 17);
  EXPECT_EQ(BasePacketTemplate[3], kBasePacketSize - 6);
}

TEST(CommandSetsTest, FixPositionLineKeepsSignsAndRefusesWhatDoesNotFit) {
  EXPECT_EQ(FormatFixPositionLine({31.5, -120.25, 12.5}),
            "fix position 31.5000000 -120.2500000 12.5000\r\n");
  EXPECT_EQ(FormatFixPositionLine({-33.85, 151.2, -0.5}),
            "fix position -33.8500000 151.2000000 -0.5000\r\n");
  EXPECT_EQ(FormatFixPositionLine({35.872988846, 138.38966547, 1003.85995}),
            "fix position 35.8729888 138.3896655 1003.8600\r\n");
  // 40 bytes plus the integer digits of the height: 87 digits (1e86) make 127 bytes,
  // the most the 128-byte buffer holds with its terminator; 2e87 has 88.
  const std::optional<std::string> longest = FormatFixPositionLine({0.0, 0.0, 1e86});
  ASSERT_TRUE(longest.has_value());
  EXPECT_EQ(longest->size(), kCommandLineCapacity - 1);
  EXPECT_FALSE(FormatFixPositionLine({0.0, 0.0, 2e87}).has_value());
  EXPECT_FALSE(FormatFixPositionLine({-1e300, 0.0, 0.0}).has_value());
}

struct AsciiCase {
  int32_t diffType;
  std::vector<std::string> logLines;
  std::vector<int> logPauses;
};

TEST(CommandSetsTest, NovAtelSetForEveryDiffType) {
  const std::vector<AsciiCase> cases = {
      {0,
       {"log cmrrefb ontime 10", "log cmrdescb ontime 10", "log cmrobsb ontime 1",
        "log cmrgloobsb ontime 1"},
       {100, 100, 100, 100}},
      {1,
       {"log cmrobsb ontime 1", "log cmrgloobsb ontime 1", "log cmrplusb ontime 1"},
       {100, 100, 100}},
      {2,
       {"log rtcm3b ontime 5", "log rtcm22b ontime 2", "log rtcm9b ontime 1",
        "interfacemode none rtcm off"},
       {100, 100, 100, 0}},
      {3,
       {"log rtcm3b ontime 10", "log rtcm22b ontime 10", "log rtcm1b ontime 5",
        "log rtcm31b ontime 2", "log rtcm32b ontime 2", "log rtcm1819b ontime 1",
        "interfacemode none rtcm off"},
       {300, 300, 300, 300, 300, 300, 0}},
      {4,
       {"log rtcm1006b ontime 10", "log rtcm1008b ontime 10", "log rtcm1033b ontime 10",
        "log rtcm1004b ontime 1", "log rtcm1012b ontime 1"},
       {100, 100, 100, 100, 100}},
      {5,
       {"log rtcm1033b ontime 10", "log rtcm1005b ontime 10", "log rtcm1085b ontime 1",
        "log rtcm1075b ontime 1", "log rtcm1125b ontime 1"},
       {100, 100, 100, 100, 100}},
      {6, {}, {}},
      {-1, {}, {}},
  };
  for (const AsciiCase& c : cases) {
    SCOPED_TRACE("DiffType " + std::to_string(c.diffType));
    VirtualTimeSource time;
    RecordingSerialDevice device(time);
    ConsoleRecorder console;
    EXPECT_EQ(InitDiffData(&device, NovAtelSettings(c.diffType), {}, time, console.Sink()), 1);

    std::vector<std::string> lines = {"unlogall\r\n", "unlogall\r\n",
                                      "fix position 31.5000000 -120.2500000 12.5000\r\n"};
    std::vector<Millis> pauses = {100ms, 100ms, 100ms};
    for (size_t i = 0; i < c.logLines.size(); ++i) {
      lines.push_back(c.logLines[i] + "\r\n");
      pauses.emplace_back(c.logPauses[i]);
    }
    const Transcript transcript = Record(device, time);
    EXPECT_EQ(transcript.lines, lines);
    EXPECT_EQ(transcript.pauses, pauses);
    const size_t pauseCount = 3 + std::count_if(c.logPauses.begin(), c.logPauses.end(),
                                                [](int pause) { return pause > 0; });
    EXPECT_EQ(time.Sleeps().size(), pauseCount) << "every pause is one sleep of the time source";

    if (c.diffType == kDiffRtcm23) {
      EXPECT_EQ(console.lines,
                (std::vector<std::string>{
                    "Send rtcm3 successfully!\r\n", "Send rtcm22 successfully!\r\n",
                    "Send rtcm1 successfully!\r\n", "Send rtcm31 successfully!\r\n",
                    "Send rtcm32 successfully!\r\n", "Send rtcm1819 successfully!\r\n"}));
    } else {
      EXPECT_TRUE(console.lines.empty());
    }
  }
}

TEST(CommandSetsTest, RtcmTwoConsolePrintsComeBeforeEachPauseAndStopAtAFailure) {
  VirtualTimeSource time;
  RecordingSerialDevice device(time);
  std::vector<std::pair<std::string, Millis>> prints;
  const TextSink console = [&](std::string_view text) { prints.emplace_back(text, time.Now()); };
  device.FailWrite(2);
  EXPECT_EQ(SendDiffLogs(&device, kDiffRtcm23, time, console), 0);
  ASSERT_EQ(prints.size(), 2u);
  EXPECT_EQ(prints[0], std::make_pair(std::string("Send rtcm3 successfully!\r\n"), Millis(0)));
  EXPECT_EQ(prints[1], std::make_pair(std::string("Send rtcm22 successfully!\r\n"), Millis(300)));
  EXPECT_EQ(time.Sleeps(), (std::vector<Millis>{300ms, 300ms}));
}

TEST(CommandSetsTest, FailedWritesEndTheSet) {
  {
    // The second "unlogall" fails: one pause, no "fix position" line.
    VirtualTimeSource time;
    RecordingSerialDevice device(time);
    device.FailWrite(1);
    EXPECT_EQ(InitDiffData(&device, NovAtelSettings(kDiffRtcm32), {}, time, {}), 0);
    EXPECT_EQ(device.AllBytes(), "unlogall\r\n");
    EXPECT_EQ(time.Sleeps(), (std::vector<Millis>{100ms}));
  }
  {
    // A port that takes only part of a line has not been sent the command.
    VirtualTimeSource time;
    RecordingSerialDevice device(time);
    device.FailWrite(3, 5);
    EXPECT_EQ(InitDiffData(&device, NovAtelSettings(kDiffRtcm32), {}, time, {}), 0);
    EXPECT_EQ(device.Writes().size(), 4u);
    EXPECT_EQ(time.Sleeps().size(), 3u);
  }
  {
    // A "fix position" line too long for its buffer is refused, never cut.
    VirtualTimeSource time;
    RecordingSerialDevice device(time);
    Settings settings = NovAtelSettings(kDiffRtcm32);
    settings.BaseH = 1e120;
    EXPECT_EQ(InitDiffData(&device, settings, {}, time, {}), 0);
    EXPECT_EQ(device.AllBytes(), "unlogall\r\nunlogall\r\n");
    EXPECT_EQ(time.Sleeps(), (std::vector<Millis>{100ms, 100ms}));
  }
  {
    // The base packet fails after the prelude went out.
    VirtualTimeSource time;
    RecordingSerialDevice device(time);
    device.FailWrite(1);
    EXPECT_EQ(InitDiffDataBinary(&device, {}, time), 0);
    EXPECT_EQ(device.Writes().size(), 1u);
    EXPECT_EQ(time.Sleeps(), (std::vector<Millis>{100ms}));
  }
  {
    VirtualTimeSource time;
    EXPECT_EQ(InitDiffData(nullptr, NovAtelSettings(kDiffCmr), {}, time, {}), 0);
    EXPECT_TRUE(time.Sleeps().empty());
  }
}

TEST(CommandSetsTest, TrimbleSetIsThePreludeThenTheBasePacket) {
  for (int32_t diffType : {0, 3, 5, 9}) {
    VirtualTimeSource time;
    RecordingSerialDevice device(time);
    Settings settings;
    settings.GPSBoard = kBoardTrimble;
    settings.DiffType = diffType;
    settings.Coordinate = kCoordinateAutonomous;
    settings.BaseLat = 1.0;  // not used: the receiver's own position is
    EXPECT_EQ(InitDiffData(&device, settings, {180.0, -90.0, 12.5}, time, {}), 1);
    const Transcript transcript = Record(device, time);
    ASSERT_EQ(transcript.lines.size(), 2u);
    EXPECT_EQ(transcript.lines[0],
              std::string(reinterpret_cast<const char*>(PreludePacket.data()), 25));
    uint8_t expected[kBasePacketSize];
    BuildBasePacket(expected, sizeof expected, 180.0, -90.0, 12.5);
    EXPECT_EQ(Hex(transcript.lines[1]), Hex(expected, sizeof expected));
    EXPECT_EQ(transcript.pauses, (std::vector<Millis>{100ms, 50ms}));
  }
}

TEST(CommandSetsTest, BothSetsReachTheReceiverOverARealPort) {
  testing::ComLink com(2);
  ASSERT_TRUE(com.Ready());
  testing::RecordingEventLog log;
  const std::shared_ptr<SerialDevice> port = OpenRelayPort(com.Name(), 115200, log);
  ASSERT_NE(port, nullptr);
  VirtualTimeSource time;

  EXPECT_EQ(InitDiffData(port.get(), NovAtelSettings(kDiffRtcm32), {}, time, {}), 1);
  const std::string text =
      "unlogall\r\nunlogall\r\nfix position 31.5000000 -120.2500000 12.5000\r\n"
      "log rtcm1033b ontime 10\r\nlog rtcm1005b ontime 10\r\nlog rtcm1085b ontime 1\r\n"
      "log rtcm1075b ontime 1\r\nlog rtcm1125b ontime 1\r\n";
  const std::vector<uint8_t> received = com.Receive(text.size());
  EXPECT_EQ(std::string(received.begin(), received.end()), text);
  EXPECT_EQ(time.Sleeps(), std::vector<Millis>(8, 100ms));

  Settings trimble = NovAtelSettings(kDiffRtcm32);
  trimble.GPSBoard = kBoardTrimble;
  EXPECT_EQ(InitDiffData(port.get(), trimble, {}, time, {}), 1);
  const std::vector<uint8_t> packets = com.Receive(25 + kBasePacketSize);
  ASSERT_EQ(packets.size(), 25 + kBasePacketSize);
  EXPECT_EQ(Hex(packets.data(), 25), Hex(PreludePacket.data(), 25));
  EXPECT_EQ(Hex(packets.data() + 33 + 25, 16), "3f e1 97 c9 90 00 00 00 c0 00 ca 41 e3 55 55 55");
  EXPECT_EQ(packets[25 + kBaseChecksumOffset], 0xa3);
  EXPECT_TRUE(log.FileLines().empty());
}

TEST(CommandSetsTest, OtherReceiverTypesGetNothing) {
  VirtualTimeSource time;
  RecordingSerialDevice device(time);
  Settings settings = NovAtelSettings(kDiffRtcm32);
  settings.GPSBoard = 7;
  EXPECT_EQ(InitDiffData(&device, settings, {}, time, {}), 1);
  EXPECT_TRUE(device.Writes().empty());
  EXPECT_TRUE(time.Sleeps().empty());
}

}  // namespace
}  // namespace corvane
