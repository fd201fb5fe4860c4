#include "decode/NmeaDecoder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace corvane {
namespace {

constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;
// Carry plus one chunk, with room past the end for the carriage-return fill
// that ends every search for a sentence's end inside the buffer.
constexpr int32_t kFrameSize = 4096;
constexpr size_t kNumberRun = 63;
constexpr size_t kAltitudeText = 15;
constexpr double kErrorLimit = 99.99;

// Each line is written twice in a row; the receiver may miss the first.
constexpr std::string_view kCommands[] = {"unlogall\r\n", "unlogall\r\n", "log gpgga ontime 1\r\n",
                                          "log gprmc ontime 1\r\n"};
constexpr Millis kCommandPause{200};

enum class SentenceType { kNone, kGga, kGsv, kGsa, kRmc, kGst };

SentenceType TypeAt(const uint8_t* head) {
  const std::string_view type(reinterpret_cast<const char*>(head), 3);
  if (type == "GGA") return SentenceType::kGga;
  if (type == "GSV") return SentenceType::kGsv;
  if (type == "GSA") return SentenceType::kGsa;
  if (type == "RMC") return SentenceType::kRmc;
  if (type == "GST") return SentenceType::kGst;
  return SentenceType::kNone;
}

// Index just after the n-th comma, or 0 when the text has fewer: a missing
// field is then read from the "$", which reads as 0.
size_t FieldOffset(std::string_view text, int n) {
  if (n <= 0) return 0;
  int commas = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ',' && ++commas == n) return i + 1;
  }
  return 0;
}

std::string_view Field(std::string_view text, int n) {
  return text.substr(FieldOffset(text, n));
}

// The leading run of digits and points, at most 63 characters: signs are not
// part of it, so negative values read as 0.
std::string_view NumberRun(std::string_view text) {
  size_t length = 0;
  while (length < text.size() && length < kNumberRun &&
         ((text[length] >= '0' && text[length] <= '9') || text[length] == '.')) {
    ++length;
  }
  return text.substr(0, length);
}

double ToDouble(std::string_view text) {
  double value = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() ? value : 0.0;
}

double ParseNumber(std::string_view text) {
  return ToDouble(NumberRun(text));
}

// Digits up to the first point; saturates instead of overflowing.
int32_t ParseInteger(std::string_view text) {
  int64_t value = 0;
  for (char c : NumberRun(text)) {
    if (c == '.') break;
    value = std::min<int64_t>(value * 10 + (c - '0'), std::numeric_limits<int32_t>::max());
  }
  return static_cast<int32_t>(value);
}

double ParseNumberField(std::string_view text, int n) {
  return ParseNumber(Field(text, n));
}
int32_t ParseIntegerField(std::string_view text, int n) {
  return ParseInteger(Field(text, n));
}

// A hemisphere letter as received; an empty or missing field gives 0.
char FieldLetter(std::string_view text, int n) {
  const size_t offset = FieldOffset(text, n);
  if (offset == 0 || offset >= text.size()) return 0;
  const char c = text[offset];
  return (c == ',' || c == '*' || c == '\r' || c == '\n') ? 0 : c;
}

// ddmm.mmmm (or dddmm.mmmm) to degrees.
double Degrees(double value) {
  const double degrees = std::trunc(std::trunc(value) / 100.0);
  return degrees + (value - 100.0 * degrees) / 60.0;
}

// The altitude keeps its sign: the text from field 9 up to the start of
// field 10, at most 15 characters, read as a signed decimal.
double ParseAltitude(std::string_view text) {
  const size_t start = FieldOffset(text, 9);
  const size_t next = FieldOffset(text, 10);
  size_t length = next > start ? next - start : text.size() - start;
  std::string_view altitude = text.substr(start, std::min(length, kAltitudeText));
  while (!altitude.empty() && (altitude.front() == ' ' || altitude.front() == '\t')) {
    altitude.remove_prefix(1);
  }
  if (!altitude.empty() && altitude.front() == '+') {
    altitude.remove_prefix(1);
    if (!altitude.empty() && altitude.front() == '-') return 0.0;
  }
  return ToDouble(altitude);
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A sentence ("$" up to, not including, its line end) that carries "*hh"
// must match it: the exclusive or of the characters between "$" and "*".
// A byte lost or changed on the line would otherwise pass as a valid fix.
// Sentences without "*" are taken as they stand, for receivers that omit it.
bool ChecksumHolds(const uint8_t* sentence, int32_t length) {
  const auto* star = static_cast<const uint8_t*>(std::memchr(sentence, '*', length));
  if (star == nullptr) return true;
  const int32_t at = static_cast<int32_t>(star - sentence);
  if (length - at != 3) return false;
  const int high = HexDigit(star[1]);
  const int low = HexDigit(star[2]);
  if (high < 0 || low < 0) return false;
  uint8_t sum = 0;
  for (int32_t i = 1; i < at; ++i) sum ^= sentence[i];
  return sum == high * 16 + low;
}

int32_t TimeDigits(std::string_view gga, size_t at) {
  const auto digit = [&](size_t i) { return static_cast<unsigned char>(gga[i]) - '0'; };
  return digit(at) * 10 + digit(at + 1);
}

// GGA: time of day at fixed character positions (the seven-character head
// "$GPGGA," is assumed), position, fix quality, altitude, geoid separation.
void ApplyGga(std::string_view gga, PositionFix& fix) {
  fix.Hour = TimeDigits(gga, 7);
  fix.Minute = TimeDigits(gga, 9);
  fix.Second = TimeDigits(gga, 11);
  fix.Latitude = Degrees(ParseNumberField(gga, 2));
  fix.LatHemisphere = FieldLetter(gga, 3);
  if (fix.LatHemisphere == 'S') fix.Latitude *= -1.0;
  fix.Longitude = Degrees(ParseNumberField(gga, 4));
  fix.LonHemisphere = FieldLetter(gga, 5);
  if (fix.LonHemisphere == 'W') fix.Longitude *= -1.0;
  fix.FixQuality = ParseIntegerField(gga, 6);
  fix.Altitude = ParseAltitude(gga);
  fix.GeoidSeparation = ParseNumberField(gga, 11);
}

int32_t SumCounts(const PositionFix& fix) {
  const int64_t sum = int64_t{fix.GpsInView} + fix.GloInView + fix.BdsInView;
  return static_cast<int32_t>(std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
}

// GSV: four satellites per message, message m filling entries 4(m-1) on.
// Entries outside the table are dropped.
void ApplyGsv(std::string_view gsv, SatelliteTable& table, int32_t& inView, bool isGps,
              bool isBeidou, PositionFix& fix) {
  const int32_t message = ParseIntegerField(gsv, 2);
  inView = ParseIntegerField(gsv, 3);
  if (isGps) fix.SatsInView = SumCounts(fix);
  for (int k = 0; k < 4; ++k) {
    const int64_t index = (int64_t{message} - 1) * 4 + k;
    if (index >= 0 && index < kSatelliteTableSize) {
      SatelliteInfo& sat = table[static_cast<size_t>(index)];
      sat.Prn = ParseIntegerField(gsv, 4 + 4 * k);
      sat.Elevation = ParseIntegerField(gsv, 5 + 4 * k);
      sat.Azimuth = ParseIntegerField(gsv, 6 + 4 * k);
      sat.Snr = ParseIntegerField(gsv, 7 + 4 * k);
      if (isBeidou) sat.Used = 1;
    }
    if (index + 1 >= inView) break;
  }
}

// GSA: marks the satellites of the solution in the table named by its first
// satellite number (GPS 0-32, GLONASS 65-96); dilutions in every case.
void ApplyGsa(std::string_view gsa, int32_t firstSatellite, PositionFix& fix) {
  SatelliteTable* table = nullptr;
  int32_t inView = 0;
  if (firstSatellite <= 32) {
    table = &fix.GpsSats;
    inView = fix.GpsInView;
  } else if (firstSatellite >= 65 && firstSatellite <= 96) {
    table = &fix.GloSats;
    inView = fix.GloInView;
  }
  if (table != nullptr) {
    const int32_t entries = std::clamp(inView, 0, kSatelliteTableSize);
    for (int32_t i = 0; i < entries; ++i) (*table)[i].Used = 0;
    for (int field = 3; field <= 14; ++field) {
      const int32_t prn = ParseIntegerField(gsa, field);
      for (int32_t i = 0; i < entries; ++i) {
        if ((*table)[i].Prn == prn) {
          (*table)[i].Used = 1;
          break;
        }
      }
    }
  }
  fix.Pdop = ParseNumberField(gsa, 15);
  fix.Hdop = ParseNumberField(gsa, 16);
  fix.Vdop = ParseNumberField(gsa, 17);
}

// RMC: only the date, ddmmyy.
void ApplyRmc(std::string_view rmc, PositionFix& fix) {
  const int32_t date = ParseIntegerField(rmc, 9);
  fix.Day = date / 10000;
  fix.Month = date % 10000 / 100;
  fix.Year = date % 100 + 2000;
}

// GST: error estimates; values above 99.99 m mean "unknown" and become 0.
void ApplyGst(std::string_view gst, PositionFix& fix) {
  const double latError = ParseNumberField(gst, 6);
  const double lonError = ParseNumberField(gst, 7);
  const double heightError = ParseNumberField(gst, 8);
  fix.Vrms = heightError > kErrorLimit ? 0.0 : heightError;
  const double horizontal = std::sqrt(latError * latError + lonError * lonError);
  fix.Hrms = horizontal > kErrorLimit ? 0.0 : horizontal;
}

}  // namespace

NmeaDecoder::NmeaDecoder(SharedPositionFix& fix, TimeSource& time, TraceSink trace)
    : fix_(fix), time_(time), trace_(trace) {}

bool NmeaDecoder::ConfigureReceiver(ByteWriter& channel) {
  for (std::string_view line : kCommands) {
    for (int copy = 0; copy < 2; ++copy) {
      channel.Write(reinterpret_cast<const uint8_t*>(line.data()),
                    static_cast<int32_t>(line.size()));
      time_.Sleep(kCommandPause);
    }
  }
  return true;
}

int32_t NmeaDecoder::Decode(const uint8_t* bytes, int32_t count) {
  if (bytes == nullptr) return -1;
  for (int32_t done = 0; done < count; done += kChunkSize) {
    DecodeChunk(bytes + done, std::min(kChunkSize, count - done));
  }
  return -1;
}

// Keeps the last kCarrySize bytes of the carried line and the new bytes.
void NmeaDecoder::AppendCarry(const uint8_t* bytes, int32_t count) {
  if (count >= kCarrySize) {
    std::memcpy(carry_.data(), bytes + (count - kCarrySize), kCarrySize);
    carryLength_ = kCarrySize;
    return;
  }
  const int32_t keep = std::min(carryLength_, kCarrySize - count);
  std::memmove(carry_.data(), carry_.data() + (carryLength_ - keep), static_cast<size_t>(keep));
  std::memcpy(carry_.data() + keep, bytes, static_cast<size_t>(count));
  carryLength_ = keep + count;
}

void NmeaDecoder::DecodeChunk(const uint8_t* bytes, int32_t count) {
  int32_t lastLineFeed = count - 1;
  while (lastLineFeed >= 0 && bytes[lastLineFeed] != kLf) --lastLineFeed;
  if (lastLineFeed < 0) {
    AppendCarry(bytes, count);
    return;
  }

  // The frame: the carried line, then the chunk through its last line feed;
  // the carriage-return fill after it ends every sentence search.
  std::array<uint8_t, kFrameSize> frame;
  frame.fill(kCr);
  std::memcpy(frame.data(), carry_.data(), static_cast<size_t>(carryLength_));
  std::memcpy(frame.data() + carryLength_, bytes, static_cast<size_t>(lastLineFeed + 1));
  const int32_t frameLength = carryLength_ + lastLineFeed + 1;
  carryLength_ = 0;
  AppendCarry(bytes + lastLineFeed + 1, count - lastLineFeed - 1);

  int32_t pos = 0;
  while (pos < frameLength) {
    const SentenceType type = frame[pos] == '$' ? TypeAt(&frame[pos + 3]) : SentenceType::kNone;
    if (type == SentenceType::kNone) {
      ++pos;
      continue;
    }
    // A sentence ends with carriage return and line feed; captures that lost
    // their carriage returns end at the line feed instead, so that the next
    // sentence is not swallowed.
    int32_t end = pos + 5;
    while (frame[end] != kCr && frame[end] != kLf) ++end;
    const int32_t length = end - pos + (frame[end] == kCr ? 2 : 1);
    if (length > kSentenceSize) {
      ++counts_.BadLength;
      ++pos;
      continue;
    }
    // A damaged sentence is passed over like any other text, so that a
    // sentence inside it still gets its turn.
    if (!ChecksumHolds(&frame[pos], end - pos)) {
      ++counts_.BadChecksum;
      ++pos;
      continue;
    }
    ++counts_.Accepted;
    // GST is copied without its line feed; nothing reads that far.
    const int32_t copied = type == SentenceType::kGst ? length - 1 : length;
    std::array<char, kSentenceSize + 1> sentence{};
    std::memcpy(sentence.data(), &frame[pos], static_cast<size_t>(copied));
    const std::string_view text(sentence.data(), std::strlen(sentence.data()));
    const char talker = static_cast<char>(frame[pos + 2]);
    switch (type) {
      case SentenceType::kGga: {
        Trace("GGA\n");
        std::array<char, kGgaSize> gga;
        gga.fill('\r');
        std::memcpy(gga.data(), text.data(), std::min<size_t>(text.size(), kGgaSize));
        const std::string_view view(gga.data(), gga.size());
        fix_.Modify([&](PositionFix& fix) { ApplyGga(view, fix); });
        break;
      }
      case SentenceType::kGsv:
        Trace("GSV\n");
        talkerGps_ = talker == 'P';
        talkerGlonass_ = talker == 'L';
        talkerBeidou_ = talker == 'D';
        if (talkerGps_) {
          Trace("Get GPGSV\n");
          fix_.Modify([&](PositionFix& fix) {
            ApplyGsv(text, fix.GpsSats, fix.GpsInView, true, false, fix);
          });
        } else if (talkerGlonass_) {
          Trace("Get GLGSV\n");
          fix_.Modify([&](PositionFix& fix) {
            ApplyGsv(text, fix.GloSats, fix.GloInView, false, false, fix);
          });
        } else if (talkerBeidou_) {
          Trace("Get BDGSV\n");
          fix_.Modify([&](PositionFix& fix) {
            ApplyGsv(text, fix.BdsSats, fix.BdsInView, false, true, fix);
          });
        }
        break;
      case SentenceType::kGsa: {
        Trace("GSA\n");
        const int32_t first = ParseIntegerField(text, 3);
        if (first <= 32) Trace("Get GPGSA\n");
        if (first >= 65 && first <= 96) Trace("Get GLGSA\n");
        fix_.Modify([&](PositionFix& fix) { ApplyGsa(text, first, fix); });
        break;
      }
      case SentenceType::kRmc:
        Trace("RMC\n");
        fix_.Modify([&](PositionFix& fix) { ApplyRmc(text, fix); });
        break;
      case SentenceType::kGst: {
        Trace("GST\n");
        double vrms = 0.0;
        double hrms = 0.0;
        fix_.Modify([&](PositionFix& fix) {
          ApplyGst(text, fix);
          vrms = fix.Vrms;
          hrms = fix.Hrms;
        });
        if (trace_ != nullptr) TraceErrors(vrms, hrms);
        break;
      }
      case SentenceType::kNone:
        break;
    }
    pos += length;
  }
}

// "VRMS = %.3f,HRMS = %.3f \n", formatted without the C locale's help: the
// process may run under a locale with a decimal comma.
void NmeaDecoder::TraceErrors(double vrms, double hrms) const {
  char line[64];
  char* at = line;
  const auto append = [&](std::string_view text) { at = std::copy(text.begin(), text.end(), at); };
  append("VRMS = ");
  at = std::to_chars(at, line + sizeof line, vrms, std::chars_format::fixed, 3).ptr;
  append(",HRMS = ");
  at = std::to_chars(at, line + sizeof line, hrms, std::chars_format::fixed, 3).ptr;
  append(" \n");
  Trace(std::string_view(line, static_cast<size_t>(at - line)));
}

void NmeaDecoder::Trace(std::string_view text) const {
  if (trace_ != nullptr) trace_(text);
}

}  // namespace corvane
