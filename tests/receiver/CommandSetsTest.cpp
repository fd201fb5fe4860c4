// The base-station command sets, byte for byte, with every pause in its place.
#include "receiver/CommandSets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures/Doubles.h"

namespace corvane::testing {
namespace {

using namespace std::string_literals;

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

// The prelude, then the base packet for 31.5, -120.25, 12.5: latitude and
// longitude (in radians through the single-precision pi: note the zero tails)
// and height at 33, 41 and 49, the checksum at 134.
const std::string kTrimbleSet =
    "\x17\x00\x02\x00\x64\x11\x00\x00\x00\x03\x00\x01\x00\x07\x08\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x88\x03<100>\x02\x00\x64\x82\x00\x00\x00\x03\x00\x01\x00\x07\x08\x03\x00\x03\x00\x24\x00"
    "\x00\x00\x03\x25\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x3f\xe1\x97\xc9\x90\x00\x00\x00\xc0"
    "\x00\xca\x41\xe3\x55\x55\x55\x40\x29\x00\x00\x00\x00\x00\x00\x02\x02\x02\x01\x08\x0c\x00\x07"
    "\x00\x00\x01\x00\x00\x02\x06\x00\x05\x00\x00\x00\x00\x17\x04\x00\x00\x00\x01\x4c\x30\x00\x00"
    "\x00\x06\x00\x00\x00\x21\x00\x07\x00\x06\x00\x01\x00\x01\x00\x01\x00\x01\x00\x06\x00\x06\x00"
    "\x06\x00\x06\x00\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00\x06\x00\x06\x00\x06\x00\x00\x00\x06"
    "\xa3\x03<50>"s;

Settings BaseSettings(int32_t board, int32_t diffType, double height = 12.5) {
  // The texts are named for the compiler's missing-initializer warning.
  // clang-format off
  return {.CasterAddress = {}, .Mount = {}, .PassWord = {}, .SerialPort = {}, .GPSBoard = board,
          .DiffType = diffType, .BaseLat = 31.5, .BaseLon = -120.25, .BaseH = height};
  // clang-format on
}

TEST(CommandSetsTest, EveryCommandSetWithItsPauses) {
  // What a board and a differential type put out; console prints show in
  // [brackets].
  const auto transcript = [](int32_t board, int32_t diffType) {
    Transcript port;
    const auto print = [&](std::string_view line) { port.text += "[" + std::string(line) + "]"; };
    EXPECT_EQ(InitDiffData(&port, BaseSettings(board, diffType), {}, port, print), 1);
    return port.text;
  };
  // Each NovAtel set opens with these three lines, then the logs of its type.
  const std::string novatel =
      "unlogall\r\n<100>unlogall\r\n<100>fix position 31.5000000 -120.2500000 12.5000\r\n<100>";
  const std::string novatelLogs[] = {
      "log cmrrefb ontime 10\r\n<100>log cmrdescb ontime 10\r\n<100>"
      "log cmrobsb ontime 1\r\n<100>log cmrgloobsb ontime 1\r\n<100>",
      "log cmrobsb ontime 1\r\n<100>log cmrgloobsb ontime 1\r\n<100>"
      "log cmrplusb ontime 1\r\n<100>",
      "log rtcm3b ontime 5\r\n<100>log rtcm22b ontime 2\r\n<100>"
      "log rtcm9b ontime 1\r\n<100>interfacemode none rtcm off\r\n",
      "log rtcm3b ontime 10\r\n[Send rtcm3 successfully!\r\n]<300>"
      "log rtcm22b ontime 10\r\n[Send rtcm22 successfully!\r\n]<300>"
      "log rtcm1b ontime 5\r\n[Send rtcm1 successfully!\r\n]<300>"
      "log rtcm31b ontime 2\r\n[Send rtcm31 successfully!\r\n]<300>"
      "log rtcm32b ontime 2\r\n[Send rtcm32 successfully!\r\n]<300>"
      "log rtcm1819b ontime 1\r\n[Send rtcm1819 successfully!\r\n]<300>"
      "interfacemode none rtcm off\r\n",
      "log rtcm1006b ontime 10\r\n<100>log rtcm1008b ontime 10\r\n<100>"
      "log rtcm1033b ontime 10\r\n<100>log rtcm1004b ontime 1\r\n<100>"
      "log rtcm1012b ontime 1\r\n<100>",
      "log rtcm1033b ontime 10\r\n<100>log rtcm1005b ontime 10\r\n<100>"
      "log rtcm1085b ontime 1\r\n<100>log rtcm1075b ontime 1\r\n<100>"
      "log rtcm1125b ontime 1\r\n<100>",
      ""};  // an unknown type: no logs
  for (int32_t diffType = 0; diffType <= 6; ++diffType)
    EXPECT_EQ(transcript(0, diffType), novatel + novatelLogs[diffType]) << "DiffType " << diffType;
  EXPECT_EQ(transcript(4, 5), kTrimbleSet);
  EXPECT_EQ(transcript(7, 5), "") << "an unknown board is left alone";
}

TEST(CommandSetsTest, FailedWritesEndTheSet) {
  // The second "unlogall" fails: one pause, no "fix position" line. A "fix
  // position" line too long for its 128-byte buffer is refused, never cut:
  // 87 integer digits of height make 127 bytes and fit, 88 do not.
  EXPECT_EQ(FormatFixPositionLine({0.0, 0.0, 1e86}).value_or("").size(), 127u);
  Transcript failing, tooLong;
  failing.failWrite = 1;
  EXPECT_EQ(InitDiffData(&failing, BaseSettings(0, kDiffRtcm32), {}, failing, {}), 0);
  EXPECT_EQ(InitDiffData(&tooLong, BaseSettings(0, kDiffRtcm32, 2e87), {}, tooLong, {}), 0);
  EXPECT_EQ(failing.text, "unlogall\r\n<100>");
  EXPECT_EQ(tooLong.text, "unlogall\r\n<100>unlogall\r\n<100>");
}

}  // namespace
}  // namespace corvane::testing
