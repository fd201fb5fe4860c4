#include "SimProtocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tools/common/Rtcm3Inventory.h"

namespace corvane::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kMaxLine = 1024;
constexpr size_t kGsofPageBytes = 248;  // 255 data bytes less the three page bytes
constexpr int kLastRtcm3Message = 4095;
// Longest "ontime" period taken, in seconds: a day.
constexpr double kLongestPeriod = 86400;

std::string NmeaSentence(const std::string& body) {
  uint8_t sum = 0;
  for (char c : body) sum ^= static_cast<uint8_t>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

// ddmm.mmmmmmm (or dddmm.mmmmmmm) and the hemisphere letter.
std::string NmeaAngle(double degrees, int degreeDigits, char positive, char negative,
                      std::string& hemisphere) {
  hemisphere = degrees < 0 ? std::string(1, negative) : std::string(1, positive);
  const long long units = std::llround(std::fabs(degrees) * 60.0 * 1e7);  // 1e-7 minutes
  const long long perDegree = 60LL * 10000000LL;
  const long long whole = units / perDegree;
  const long long minutes = units % perDegree;
  char text[32];
  std::snprintf(text, sizeof text, "%0*lld%02lld.%07lld", degreeDigits, whole, minutes / 10000000LL,
                minutes % 10000000LL);
  return text;
}

void PutBig(Bytes& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutDouble(Bytes& out, double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  PutBig(out, bits, 8);
}

// The bit offset of the synchronous / multiple-message flag of an RTCM 3
// observation message, or 0 for other messages.
size_t SyncFlagBit(uint32_t type) {
  if ((type >= 1001 && type <= 1004)) return 24 + 30;
  if (type >= 1009 && type <= 1012) return 24 + 27;
  if (type >= 1071 && type <= 1137 && type % 10 >= 1 && type % 10 <= 7) return 24 + 30;
  return 0;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

Correction CorrectionOfLog(const std::string& name) {
  if (name.rfind("cmr", 0) == 0) return Correction::Cmr;
  if (name.rfind("rtcm", 0) != 0) return Correction::None;
  std::string digits;
  for (size_t i = 4; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])); ++i) {
    digits.push_back(name[i]);
  }
  if (digits.empty()) return Correction::Rtcm3;  // a name without a message number
  // RTCM 3 message numbers are 1001 to 4095; "rtcm1819" is the RTCM 2 pair
  // 18/19. A number past that is no message at all.
  int number = 0;
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (parsed.ec != std::errc() || number > kLastRtcm3Message) return Correction::None;
  return number >= 1001 && number != 1819 ? Correction::Rtcm3 : Correction::Rtcm2;
}

}  // namespace

std::string BuildGga(const SimFix& fix, const UtcTime& time) {
  char head[32];
  std::snprintf(head, sizeof head, "GPGGA,%02d%02d%02d.00,", time.hour, time.minute, time.second);
  if (fix.quality <= 0) return NmeaSentence(std::string(head) + ",,,,0,00,99.9,,M,,M,,");
  std::string ns, ew;
  const std::string lat = NmeaAngle(fix.latitude, 2, 'N', 'S', ns);
  const std::string lon = NmeaAngle(fix.longitude, 3, 'E', 'W', ew);
  char tail[96];
  std::snprintf(tail, sizeof tail, ",%d,%02d,0.9,%.4f,M,0.0,M,,", fix.quality, fix.satellites,
                fix.height);
  return NmeaSentence(std::string(head) + lat + "," + ns + "," + lon + "," + ew + tail);
}

std::string BuildRmc(const SimFix& fix, const UtcTime& time) {
  char head[32];
  std::snprintf(head, sizeof head, "GPRMC,%02d%02d%02d.00,", time.hour, time.minute, time.second);
  char date[16];
  std::snprintf(date, sizeof date, "%02d%02d%02d", time.day, time.month, time.year % 100);
  if (fix.quality <= 0) return NmeaSentence(std::string(head) + "V,,,,,,," + date + ",,,N");
  std::string ns, ew;
  const std::string lat = NmeaAngle(fix.latitude, 2, 'N', 'S', ns);
  const std::string lon = NmeaAngle(fix.longitude, 3, 'E', 'W', ew);
  return NmeaSentence(std::string(head) + "A," + lat + "," + ns + "," + lon + "," + ew +
                      ",0.00,0.0," + date + ",,,A");
}

Bytes TrimblePacket(uint8_t type, const Bytes& data) {
  Bytes packet{0x02, 0x00, type, static_cast<uint8_t>(data.size())};
  packet.insert(packet.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (size_t i = 1; i < packet.size(); ++i) sum = static_cast<uint8_t>(sum + packet[i]);
  packet.push_back(sum);
  packet.push_back(0x03);
  return packet;
}

Bytes GsofPositionTime(uint32_t weekMillis, uint16_t week, const SimFix& fix) {
  Bytes record{0x01, 0x0A};
  PutBig(record, weekMillis, 4);
  PutBig(record, week, 2);
  record.push_back(static_cast<uint8_t>(fix.quality > 0 ? fix.satellites : 0));
  // Flags 1: new position, clock fix, horizontal and height coordinates.
  record.push_back(fix.quality > 0 ? 0x0F : 0x00);
  // Flags 2: differential (bit 0), phase (bit 1), fixed integers (bit 2).
  uint8_t flags2 = 0x00;
  switch (fix.quality) {
    case 2:
      flags2 = 0x01;
      break;
    case 4:
      flags2 = 0x07;
      break;
    case 5:
      flags2 = 0x03;
      break;
    default:
      break;
  }
  record.push_back(flags2);
  record.push_back(0x00);
  return record;
}

Bytes GsofLatLonHeight(const SimFix& fix) {
  Bytes record{0x02, 0x18};
  const bool valid = fix.quality > 0;
  PutDouble(record, valid ? fix.latitude * kPi / 180.0 : 0.0);
  PutDouble(record, valid ? fix.longitude * kPi / 180.0 : 0.0);
  PutDouble(record, valid ? fix.height : 0.0);
  return record;
}

Bytes GsofAllSatellites(const SimFix& fix) {
  // A fixed sky: GPS and GLONASS satellites spread over the sky.
  struct Sat {
    uint8_t prn, system, elevation;
    uint16_t azimuth;
    uint8_t snr;
  };
  static constexpr Sat kSky[] = {
      {2, 0, 62, 45, 47},  {5, 0, 35, 120, 44},  {12, 0, 18, 200, 38}, {15, 0, 71, 300, 49},
      {18, 0, 27, 80, 41}, {25, 0, 44, 250, 45}, {29, 0, 12, 160, 35}, {31, 0, 53, 10, 46},
      {3, 2, 40, 70, 42},  {4, 2, 22, 140, 39},  {13, 2, 58, 230, 45}, {14, 2, 15, 330, 36},
  };
  const size_t count = std::min<size_t>(std::size(kSky), static_cast<size_t>(fix.satellites));
  Bytes record{0x22, static_cast<uint8_t>(1 + 10 * count), static_cast<uint8_t>(count)};
  for (size_t i = 0; i < count; ++i) {
    const Sat& sat = kSky[i];
    record.push_back(sat.prn);
    record.push_back(sat.system);
    record.push_back(fix.quality > 0 ? 0x5F : 0x1F);  // 0x40: used in the position
    record.push_back(0x00);
    record.push_back(sat.elevation);
    PutBig(record, sat.azimuth, 2);
    record.push_back(static_cast<uint8_t>(sat.snr * 4));
    record.push_back(static_cast<uint8_t>((sat.snr - 6) * 4));
    record.push_back(0x00);
  }
  return record;
}

std::vector<Bytes> GsofReport(uint8_t transmission, const Bytes& records) {
  const size_t pages = std::max<size_t>(1, (records.size() + kGsofPageBytes - 1) / kGsofPageBytes);
  std::vector<Bytes> packets;
  for (size_t page = 0; page < pages; ++page) {
    Bytes data{transmission, static_cast<uint8_t>(page), static_cast<uint8_t>(pages - 1)};
    const size_t begin = page * kGsofPageBytes;
    const size_t end = std::min(records.size(), begin + kGsofPageBytes);
    data.insert(data.end(), records.begin() + static_cast<std::ptrdiff_t>(begin),
                records.begin() + static_cast<std::ptrdiff_t>(end));
    packets.push_back(TrimblePacket(0x40, data));
  }
  return packets;
}

void GpsTime(int64_t unixMillis, uint16_t& week, uint32_t& weekMillis) {
  constexpr int64_t kGpsEpochMillis = 315964800000LL;  // 6 January 1980
  constexpr int64_t kLeapMillis = 18000;
  constexpr int64_t kWeekMillis = 7LL * 86400000LL;
  const int64_t gps = unixMillis - kGpsEpochMillis + kLeapMillis;
  week = static_cast<uint16_t>(gps / kWeekMillis);
  weekMillis = static_cast<uint32_t>(gps % kWeekMillis);
}

UtcTime UtcFromUnix(int64_t unixSeconds) {
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  int64_t days = unixSeconds / 86400;
  int64_t rest = unixSeconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  UtcTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest % 3600 / 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

std::vector<std::string> LineSplitter::Feed(const uint8_t* bytes, size_t count) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < count; ++i) {
    const char c = static_cast<char>(bytes[i]);
    if (c == '\r' || c == '\n') {
      if (!pending_.empty()) lines.push_back(std::move(pending_));
      pending_.clear();
      continue;
    }
    pending_.push_back(c);
    if (pending_.size() == kMaxLine) {
      lines.push_back(std::move(pending_));
      pending_.clear();
    }
  }
  return lines;
}

Command ParseTextCommand(std::string_view line) {
  std::istringstream words(Lower(line));
  std::vector<std::string> w;
  for (std::string word; words >> word;) w.push_back(word);
  Command command;
  if (w.empty()) return command;
  if (w[0] == "unlogall") {
    command.kind = Command::Kind::UnlogAll;
  } else if (w[0] == "log" && w.size() >= 2) {
    command.what = w[1];
    if (w.size() >= 4 && w[2] == "ontime") {
      // A period that is no number, or none a receiver takes, makes the
      // command malformed (Unknown).
      char* end = nullptr;
      const double period = std::strtod(w[3].c_str(), &end);
      if (end == w[3].c_str() || *end != '\0' || !(period >= 0 && period <= kLongestPeriod)) {
        return Command{};
      }
      command.periodSeconds = std::max(1, static_cast<int>(period));
    }
    if (w[1] == "gpgga" || w[1] == "gprmc") {
      command.kind = Command::Kind::LogPosition;
    } else if ((command.correction = CorrectionOfLog(w[1])) != Correction::None) {
      command.kind = Command::Kind::LogCorrection;
    }
  } else if (w[0] == "fix" && w.size() == 2 && w[1] == "none") {
    command.kind = Command::Kind::FixNone;
  } else if (w[0] == "fix" && w.size() == 5 && w[1] == "position") {
    command.kind = Command::Kind::FixPosition;
    command.what = w[2] + " " + w[3] + " " + w[4];
  } else if (w[0] == "interfacemode" || w[0] == "undulation" || w[0] == "unlog") {
    command.kind = Command::Kind::Ignored;
  }
  return command;
}

std::vector<PacketScanner::Packet> PacketScanner::Feed(const uint8_t* bytes, size_t count) {
  pending_.insert(pending_.end(), bytes, bytes + count);
  std::vector<Packet> packets;
  size_t consumed = 0;
  size_t i = 0;
  while (i + 4 <= pending_.size()) {
    if (pending_[i] != 0x02) {
      ++i;
      continue;
    }
    const size_t length = pending_[i + 3];
    if (i + 6 + length > pending_.size()) break;  // wait for the rest
    uint8_t sum = 0;
    for (size_t k = i + 1; k < i + 4 + length; ++k) sum = static_cast<uint8_t>(sum + pending_[k]);
    if (sum != pending_[i + 4 + length] || pending_[i + 5 + length] != 0x03) {
      ++i;
      continue;
    }
    Packet packet;
    packet.type = pending_[i + 2];
    packet.raw.assign(pending_.begin() + static_cast<std::ptrdiff_t>(consumed),
                      pending_.begin() + static_cast<std::ptrdiff_t>(i + 6 + length));
    packet.data.assign(pending_.begin() + static_cast<std::ptrdiff_t>(i + 4),
                       pending_.begin() + static_cast<std::ptrdiff_t>(i + 4 + length));
    packets.push_back(std::move(packet));
    i += 6 + length;
    consumed = i;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed));
  // Noise that never frames a packet is not kept for ever.
  if (pending_.size() > 4096) pending_.erase(pending_.begin(), pending_.end() - 300);
  return packets;
}

std::vector<Command> ParseApplicationFile(const Bytes& data) {
  // Data: transmission number, page, last page, four file bytes, then
  // records of type, length and body.
  std::vector<Command> commands;
  size_t p = 7;
  while (p + 2 <= data.size()) {
    const uint8_t type = data[p];
    const size_t length = data[p + 1];
    if (p + 2 + length > data.size()) break;
    const uint8_t* body = data.data() + p + 2;
    if (type == 7 && length >= 5) {
      // Output record: message type, port, rate code, offset, GSOF number.
      Command command;
      const uint8_t message = body[0];
      const bool on = body[2] != 0;
      if (message == 0) {
        command.kind = Command::Kind::UnlogAll;
      } else if (message == 0x0A) {
        command.kind = Command::Kind::LogPosition;
        command.what = std::to_string(body[4]);
        command.enable = on;
      } else {
        command.kind = Command::Kind::LogCorrection;
        command.correction = Correction::Rtcm3;
        command.what = "output " + std::to_string(message);
        command.enable = on;
      }
      commands.push_back(command);
    } else if (type == 3 && length >= 34) {
      Command command;
      command.kind = Command::Kind::FixPosition;
      double values[3];
      for (int k = 0; k < 3; ++k) {
        uint64_t bits = 0;
        for (int b = 0; b < 8; ++b) bits = (bits << 8) | body[10 + 8 * k + b];
        std::memcpy(&values[k], &bits, sizeof bits);
      }
      char text[96];
      std::snprintf(text, sizeof text, "%.9f %.9f %.4f", values[0] * 180.0 / kPi,
                    values[1] * 180.0 / kPi, values[2]);
      command.what = text;
      commands.push_back(command);
    }
    p += 2 + length;
  }
  return commands;
}

std::vector<Bytes> SplitRtcm3Epochs(const Bytes& capture) {
  std::vector<Bytes> epochs;
  Bytes current;
  size_t unframedFrom = 0;  // start of bytes not yet placed in `current`
  size_t i = 0;
  while (i + 6 <= capture.size()) {
    const size_t length = ((capture[i + 1] & 0x03u) << 8) | capture[i + 2];
    if (capture[i] != 0xD3 || (capture[i + 1] & 0xFC) != 0 || i + 6 + length > capture.size() ||
        length < 2) {
      ++i;
      continue;
    }
    const uint8_t* payload = capture.data() + i + 3;
    const uint32_t crc = (uint32_t{payload[length]} << 16) | (uint32_t{payload[length + 1]} << 8) |
                         payload[length + 2];
    if (rtcm3::Crc24q(capture.data() + i, length + 3) != crc) {
      ++i;
      continue;
    }
    current.insert(current.end(), capture.begin() + static_cast<std::ptrdiff_t>(unframedFrom),
                   capture.begin() + static_cast<std::ptrdiff_t>(i + 6 + length));
    const auto type = static_cast<uint32_t>(rtcm3::Bits(payload, 0, 12));
    const size_t flagBit = SyncFlagBit(type);
    i += 6 + length;
    unframedFrom = i;
    if (flagBit != 0 && flagBit < length * 8 && rtcm3::Bits(payload, flagBit, 1) == 0) {
      epochs.push_back(std::move(current));
      current.clear();
    }
  }
  if (epochs.empty()) return epochs;
  // Whatever trails the last complete epoch goes out with it.
  current.insert(current.end(), capture.begin() + static_cast<std::ptrdiff_t>(unframedFrom),
                 capture.end());
  epochs.back().insert(epochs.back().end(), current.begin(), current.end());
  return epochs;
}

std::string CommandLogLine(const Bytes& raw) {
  const bool printable =
      std::all_of(raw.begin(), raw.end(), [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
  if (printable) return std::string(raw.begin(), raw.end());
  std::string line = "hex";
  char hex[4];
  for (uint8_t b : raw) {
    std::snprintf(hex, sizeof hex, " %02x", b);
    line += hex;
  }
  return line;
}

}  // namespace corvane::sim
