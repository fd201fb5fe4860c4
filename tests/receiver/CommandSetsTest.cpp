// The base-station command sets, byte for byte, with every pause in its place.
#include "receiver/CommandSets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/Doubles.h"

namespace corvane::testing {
namespace {

// The port and the time of a command set, writing one text for everything it
// does, in order: the bytes each write put out, and each pause as "<100>"
// (milliseconds). A test compares it whole, so a wrong byte, a missing pause
// or a pause in the wrong place all show.
struct Transcript final : StubSerialDevice, TimeSource {
  Millis Now() override { return Millis(0); }
  void Sleep(Millis duration) override { text += "<" + std::to_string(duration.count()) + ">"; }
  bool Wait(AutoResetEvent&, Millis) override { return false; }  // the command sets never wait
  // The write attempt numbered `failWrite` (0 first) fails.
  int Write(const uint8_t* bytes, int count) override {
    if (failWrite-- == 0) return -1;
    text.append(reinterpret_cast<const char*>(bytes), count);
    return count;
  }
  std::string text;
  int failWrite = -1;
};

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 3)
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

// The prelude, then the base packet for 31.5, -120.25, 12.5: latitude and
// longitude (in radians through the single-precision pi: note the zero tails)
// and height at 33, 41 and 49, the checksum at 134.
const std::string kPrelude =
    FromHex("17 00 02 00 64 11 00 00 00 03 00 01 00 07 08 00 00 00 00 00 00 00 00 88 03");
const std::string kBasePacket = FromHex(
    "02 00 64 82 00 00 00 03 00 01 00 07 08 03 00 03 00 24 00 00 00 03 25 00 00 00 00 00 00 00 00 "
    "00 00 3f e1 97 c9 90 00 00 00 c0 00 ca 41 e3 55 55 55 40 29 00 00 00 00 00 00 02 02 02 01 08 "
    "0c 00 07 00 00 01 00 00 02 06 00 05 00 00 00 00 17 04 00 00 00 01 4c 30 00 00 00 06 00 00 00 "
    "21 00 07 00 06 00 01 00 01 00 01 00 01 00 06 00 06 00 06 00 06 00 01 00 01 00 00 00 00 00 00 "
    "00 06 00 06 00 06 00 00 00 06 a3 03");

Settings BaseSettings(int32_t board, int32_t diffType, double height = 12.5) {
  // The texts are named for the compiler's missing-initializer warning.
  // clang-format off
  return {.CasterAddress = {}, .Mount = {}, .PassWord = {}, .SerialPort = {}, .GPSBoard = board,
          .DiffType = diffType, .BaseLat = 31.5, .BaseLon = -120.25, .BaseH = height};
  // clang-format on
}

TEST(CommandSetsTest, EveryCommandSetWithItsPauses) {
  const std::string novatel =
      "unlogall\r\n<100>unlogall\r\n<100>fix position 31.5000000 -120.2500000 12.5000\r\n<100>";
  // Console prints show in [brackets].
  const std::vector<std::tuple<int32_t, int32_t, std::string>> rows = {
      {0, 0,
       novatel + "log cmrrefb ontime 10\r\n<100>log cmrdescb ontime 10\r\n<100>"
                 "log cmrobsb ontime 1\r\n<100>log cmrgloobsb ontime 1\r\n<100>"},
      {0, 1,
       novatel + "log cmrobsb ontime 1\r\n<100>log cmrgloobsb ontime 1\r\n<100>"
                 "log cmrplusb ontime 1\r\n<100>"},
      {0, 2,
       novatel + "log rtcm3b ontime 5\r\n<100>log rtcm22b ontime 2\r\n<100>"
                 "log rtcm9b ontime 1\r\n<100>interfacemode none rtcm off\r\n"},
      {0, 3,
       novatel + "log rtcm3b ontime 10\r\n[Send rtcm3 successfully!\r\n]<300>"
                 "log rtcm22b ontime 10\r\n[Send rtcm22 successfully!\r\n]<300>"
                 "log rtcm1b ontime 5\r\n[Send rtcm1 successfully!\r\n]<300>"
                 "log rtcm31b ontime 2\r\n[Send rtcm31 successfully!\r\n]<300>"
                 "log rtcm32b ontime 2\r\n[Send rtcm32 successfully!\r\n]<300>"
                 "log rtcm1819b ontime 1\r\n[Send rtcm1819 successfully!\r\n]<300>"
                 "interfacemode none rtcm off\r\n"},
      {0, 4,
       novatel + "log rtcm1006b ontime 10\r\n<100>log rtcm1008b ontime 10\r\n<100>"
                 "log rtcm1033b ontime 10\r\n<100>log rtcm1004b ontime 1\r\n<100>"
                 "log rtcm1012b ontime 1\r\n<100>"},
      {0, 5,
       novatel + "log rtcm1033b ontime 10\r\n<100>log rtcm1005b ontime 10\r\n<100>"
                 "log rtcm1085b ontime 1\r\n<100>log rtcm1075b ontime 1\r\n<100>"
                 "log rtcm1125b ontime 1\r\n<100>"},
      {0, 6, novatel},
      {4, 5, kPrelude + "<100>" + kBasePacket + "<50>"},
      {7, 5, ""},
  };
  for (const auto& [board, diffType, expected] : rows) {
    SCOPED_TRACE("GPSBoard " + std::to_string(board) + " DiffType " + std::to_string(diffType));
    Transcript port;
    const auto print = [&](std::string_view line) { port.text += "[" + std::string(line) + "]"; };
    EXPECT_EQ(InitDiffData(&port, BaseSettings(board, diffType), {}, port, print), 1);
    EXPECT_EQ(port.text, expected);
  }
}

TEST(CommandSetsTest, FailedWritesEndTheSet) {
  // The second "unlogall" fails: one pause, no "fix position" line.
  Transcript failing;
  failing.failWrite = 1;
  EXPECT_EQ(InitDiffData(&failing, BaseSettings(0, kDiffRtcm32), {}, failing, {}), 0);
  EXPECT_EQ(failing.text, "unlogall\r\n<100>");

  // A "fix position" line too long for its 128-byte buffer is refused, never
  // cut: 87 integer digits of height make 127 bytes and fit, 88 do not.
  EXPECT_EQ(FormatFixPositionLine({0.0, 0.0, 1e86}).value_or("").size(), 127u);
  Transcript port;
  EXPECT_EQ(InitDiffData(&port, BaseSettings(0, kDiffRtcm32, 2e87), {}, port, {}), 0);
  EXPECT_EQ(port.text, "unlogall\r\n<100>unlogall\r\n<100>");
}

}  // namespace
}  // namespace corvane::testing
