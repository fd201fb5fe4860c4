#include "receiver/CommandSets.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

#include "receiver/RelayPort.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr DiffLogLine kCmrLines[] = {
    {"log cmrrefb ontime 10", 100ms, {}},
    {"log cmrdescb ontime 10", 100ms, {}},
    {"log cmrobsb ontime 1", 100ms, {}},
    {"log cmrgloobsb ontime 1", 100ms, {}},
};
constexpr DiffLogLine kCmrPlusLines[] = {
    {"log cmrobsb ontime 1", 100ms, {}},
    {"log cmrgloobsb ontime 1", 100ms, {}},
    {"log cmrplusb ontime 1", 100ms, {}},
};
constexpr DiffLogLine kRtdLines[] = {
    {"log rtcm3b ontime 5", 100ms, {}},
    {"log rtcm22b ontime 2", 100ms, {}},
    {"log rtcm9b ontime 1", 100ms, {}},
    {"interfacemode none rtcm off", 0ms, {}},
};
constexpr DiffLogLine kRtcm23Lines[] = {
    {"log rtcm3b ontime 10", 300ms, "Send rtcm3 successfully!\r\n"},
    {"log rtcm22b ontime 10", 300ms, "Send rtcm22 successfully!\r\n"},
    {"log rtcm1b ontime 5", 300ms, "Send rtcm1 successfully!\r\n"},
    {"log rtcm31b ontime 2", 300ms, "Send rtcm31 successfully!\r\n"},
    {"log rtcm32b ontime 2", 300ms, "Send rtcm32 successfully!\r\n"},
    {"log rtcm1819b ontime 1", 300ms, "Send rtcm1819 successfully!\r\n"},
    {"interfacemode none rtcm off", 0ms, {}},
};
constexpr DiffLogLine kRtcm30Lines[] = {
    {"log rtcm1006b ontime 10", 100ms, {}}, {"log rtcm1008b ontime 10", 100ms, {}},
    {"log rtcm1033b ontime 10", 100ms, {}}, {"log rtcm1004b ontime 1", 100ms, {}},
    {"log rtcm1012b ontime 1", 100ms, {}},
};
constexpr DiffLogLine kRtcm32Lines[] = {
    {"log rtcm1033b ontime 10", 100ms, {}}, {"log rtcm1005b ontime 10", 100ms, {}},
    {"log rtcm1085b ontime 1", 100ms, {}},  {"log rtcm1075b ontime 1", 100ms, {}},
    {"log rtcm1125b ontime 1", 100ms, {}},
};

constexpr Millis kLinePause = 100ms;
constexpr Millis kPreludePause = 100ms;
constexpr Millis kBasePacketPause = 50ms;

// Pi as the single-precision constant 3.14159274 (0x40490FDB) widened to
// double: the receiver's base position has always been computed with it.
const double kSinglePrecisionPi = static_cast<double>(std::bit_cast<float>(0x40490FDBu));

bool WriteBytes(SerialDevice* port, const uint8_t* bytes, size_t count) {
  const int expected = static_cast<int>(count);
  return WriteRelayPort(port, bytes, expected) == expected;
}

bool WriteText(SerialDevice* port, std::string_view text) {
  return WriteBytes(port, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Appends `value` in fixed notation with `decimals` digits, as "%.*f" does in
// the C locale; false when it does not fit.
bool AppendFixed(char*& cursor, char* end, double value, int decimals) {
  const auto [next, error] = std::to_chars(cursor, end, value, std::chars_format::fixed, decimals);
  if (error != std::errc()) return false;
  cursor = next;
  return true;
}

bool AppendText(char*& cursor, char* end, std::string_view text) {
  if (static_cast<size_t>(end - cursor) < text.size()) return false;
  cursor = std::copy(text.begin(), text.end(), cursor);
  return true;
}

}  // namespace

BaseCoordinate SelectBaseCoordinate(const Settings& settings, const BaseCoordinate& basePosition) {
  if (settings.Coordinate == kCoordinateInput) {
    return {settings.BaseLat, settings.BaseLon, settings.BaseH};
  }
  return basePosition;
}

std::optional<std::string> FormatFixPositionLine(const BaseCoordinate& base) {
  char buffer[kCommandLineCapacity];
  char* cursor = buffer;
  // One byte stays free for the terminator the line was always built with.
  char* const end = buffer + kCommandLineCapacity - 1;
  const bool fits = AppendText(cursor, end, "fix position ") &&
                    AppendFixed(cursor, end, base.Latitude, 7) && AppendText(cursor, end, " ") &&
                    AppendFixed(cursor, end, base.Longitude, 7) && AppendText(cursor, end, " ") &&
                    AppendFixed(cursor, end, base.Height, 4) && AppendText(cursor, end, "\r\n");
  if (!fits) return std::nullopt;
  return std::string(buffer, cursor);
}

std::span<const DiffLogLine> DiffLogLines(int32_t diffType) {
  switch (diffType) {
    case kDiffCmr:
      return kCmrLines;
    case kDiffCmrPlus:
      return kCmrPlusLines;
    case kDiffRtd:
      return kRtdLines;
    case kDiffRtcm23:
      return kRtcm23Lines;
    case kDiffRtcm30:
      return kRtcm30Lines;
    case kDiffRtcm32:
      return kRtcm32Lines;
    default:
      return {};
  }
}

void PutDoubleBigEndian(double value, uint8_t* dest) {
  // -0.0 compares equal to 0.0; both go out as plain zero.
  const uint64_t bits = value == 0.0 ? 0 : std::bit_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) dest[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
}

int BuildBasePacket(uint8_t* dest, size_t capacity, double latitude, double longitude,
                    double height) {
  if (dest == nullptr || capacity < kBasePacketSize) return 0;
  std::array<uint8_t, kBasePacketSize> packet = BasePacketTemplate;
  PutDoubleBigEndian(latitude / 180.0 * kSinglePrecisionPi, &packet[kBaseLatitudeOffset]);
  PutDoubleBigEndian(longitude / 180.0 * kSinglePrecisionPi, &packet[kBaseLongitudeOffset]);
  PutDoubleBigEndian(height, &packet[kBaseHeightOffset]);
  uint8_t checksum = 0;
  for (size_t i = 1; i < kBaseChecksumOffset; ++i)
    checksum = static_cast<uint8_t>(checksum + packet[i]);
  packet[kBaseChecksumOffset] = checksum;
  std::memcpy(dest, packet.data(), packet.size());
  return 1;
}

int SendDiffLogs(SerialDevice* port, int32_t diffType, TimeSource& time, const TextSink& console) {
  for (const DiffLogLine& line : DiffLogLines(diffType)) {
    std::string text(line.Command);
    text += "\r\n";
    if (!WriteText(port, text)) return 0;
    if (!line.Console.empty()) console(line.Console);
    if (line.Pause > Millis::zero()) time.Sleep(line.Pause);
  }
  return 1;
}

int InitDiffDataAscii(SerialDevice* port, int32_t diffType, const BaseCoordinate& base,
                      TimeSource& time, const TextSink& console) {
  for (int i = 0; i < 2; ++i) {
    if (!WriteText(port, kUnlogAllLine)) return 0;
    time.Sleep(kLinePause);
  }
  const std::optional<std::string> fixLine = FormatFixPositionLine(base);
  if (!fixLine || !WriteText(port, *fixLine)) return 0;
  time.Sleep(kLinePause);
  return SendDiffLogs(port, diffType, time, console);
}

int InitDiffDataBinary(SerialDevice* port, const BaseCoordinate& base, TimeSource& time) {
  if (!WriteBytes(port, PreludePacket.data(), PreludePacket.size())) return 0;
  time.Sleep(kPreludePause);
  uint8_t packet[256];
  BuildBasePacket(packet, sizeof packet, base.Latitude, base.Longitude, base.Height);
  if (!WriteBytes(port, packet, kBasePacketSize)) return 0;
  time.Sleep(kBasePacketPause);
  return 1;
}

int InitDiffData(SerialDevice* port, const Settings& settings, const BaseCoordinate& basePosition,
                 TimeSource& time, const TextSink& console) {
  const BaseCoordinate base = SelectBaseCoordinate(settings, basePosition);
  switch (settings.GPSBoard) {
    case kBoardTrimble:
      return InitDiffDataBinary(port, base, time);
    case kBoardNovAtel:
      return InitDiffDataAscii(port, settings.DiffType, base, time, console);
    default:
      return 1;
  }
}

}  // namespace corvane
