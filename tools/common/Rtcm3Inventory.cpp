#include "tools/common/Rtcm3Inventory.h"

#include <cmath>
#include <numbers>

namespace corvane::rtcm3 {
namespace {

constexpr uint8_t kPreamble = 0xD3;
constexpr int64_t kWeekMs = 7LL * 86400 * 1000;
// BeiDou time runs 14 s behind GPS time.
constexpr int64_t kBeidouOffsetMs = 14000;

// Message layouts, bit offsets from the start of the message: 0 type (12),
// 12 station id (12). Station position, 1005 and 1006: 24 ITRF year (6),
// four indicator bits, 34 X (38, signed, 0.1 mm), 72 two bits, 74 Y (38),
// 112 quarter-cycle (2), 114 Z (38); 1006 adds 152 antenna height (16,
// 0.1 mm). Observations, GPS 1001-1004 and MSM: 24 epoch time (30, ms of the
// week).
constexpr size_t kTypeBytes = 2;
constexpr size_t kStationBytes1005 = 19;
constexpr size_t kStationBytes1006 = 21;
constexpr size_t kEpochBytes = 7;
constexpr double kTenthsPerMetre = 10000.0;

bool IsMsm(uint32_t type, uint32_t first) {
  return type >= first && type <= first + 6;
}

// The offset that puts an observation's epoch time on GPS time, for the
// messages whose epoch time is a time of week; none for the others (GLONASS
// counts the time of day in its own time scale).
std::optional<int64_t> EpochOffsetMs(uint32_t type) {
  if ((type >= 1001 && type <= 1004) || IsMsm(type, 1071) || IsMsm(type, 1091) ||
      IsMsm(type, 1101) || IsMsm(type, 1111)) {
    return 0;
  }
  if (IsMsm(type, 1121)) return kBeidouOffsetMs;
  return std::nullopt;
}

double SignedTenthsOfMillimetre(const uint8_t* message, size_t offset) {
  const uint64_t raw = Bits(message, offset, 38);
  const int64_t value = (raw & (uint64_t{1} << 37)) != 0
                            ? static_cast<int64_t>(raw) - (int64_t{1} << 38)
                            : static_cast<int64_t>(raw);
  return static_cast<double>(value) / kTenthsPerMetre;
}

}  // namespace

uint32_t Crc24q(const uint8_t* bytes, size_t count) {
  uint32_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= uint32_t{bytes[i]} << 16;
    for (int bit = 0; bit < 8; ++bit) {
      crc <<= 1;
      if ((crc & 0x1000000) != 0) crc ^= 0x1864CFB;
    }
  }
  return crc & 0xFFFFFF;
}

uint64_t Bits(const uint8_t* data, size_t offset, size_t count) {
  uint64_t value = 0;
  for (size_t i = offset; i < offset + count; ++i) {
    value = value << 1 | ((data[i / 8] >> (7 - i % 8)) & 1u);
  }
  return value;
}

Geodetic EcefToGeodetic(double x, double y, double z) {
  constexpr double kA = 6378137.0;
  constexpr double kF = 1.0 / 298.257223563;
  constexpr double kE2 = kF * (2.0 - kF);
  const double p = std::hypot(x, y);
  // Fixed-point iteration on the latitude; ten rounds reach far below a
  // millimetre anywhere near the earth's surface, the poles included.
  double latitude = std::atan2(z, p * (1.0 - kE2));
  for (int round = 0; round < 10; ++round) {
    const double sine = std::sin(latitude);
    const double n = kA / std::sqrt(1.0 - kE2 * sine * sine);
    latitude = std::atan2(z + kE2 * n * sine, p);
  }
  const double sine = std::sin(latitude);
  Geodetic result;
  result.Latitude = latitude * 180.0 / std::numbers::pi;
  result.Longitude = std::atan2(y, x) * 180.0 / std::numbers::pi;
  result.Height = p * std::cos(latitude) + z * sine - kA * std::sqrt(1.0 - kE2 * sine * sine);
  return result;
}

std::optional<double> MessageStats::MeanInterval() const {
  if (Timed < 2) return std::nullopt;
  return static_cast<double>(LastMs - FirstMs) / 1000.0 / static_cast<double>(Timed - 1);
}

void Inventory::Feed(const uint8_t* bytes, size_t count) {
  bytesFed_ += count;
  pending_.insert(pending_.end(), bytes, bytes + count);
  size_t i = 0;
  while (i + kHeaderSize <= pending_.size()) {
    const uint8_t* at = pending_.data() + i;
    // Preamble, and the six reserved bits clear.
    if (at[0] != kPreamble || (at[1] & 0xFC) != 0) {
      ++skipped_;
      ++i;
      continue;
    }
    const size_t size = kHeaderSize + (size_t{at[1] & 0x03u} << 8 | at[2]) + kCrcSize;
    if (i + size > pending_.size()) break;  // the rest is still to come
    if (Crc24q(at, size - kCrcSize) != Bits(at + size - kCrcSize, 0, 24)) {
      // Not a frame, or a damaged one: look for the next preamble inside it.
      ++badCrc_;
      ++skipped_;
      ++i;
      continue;
    }
    TakeFrame(at, size);
    i += size;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(i));
}

void Inventory::Finish() {
  skipped_ += pending_.size();
  pending_.clear();
}

std::set<uint32_t> Inventory::TakeRecentTypes() {
  std::set<uint32_t> types;
  types.swap(recent_);
  return types;
}

void Inventory::TakeFrame(const uint8_t* frame, size_t size) {
  const uint8_t* message = frame + kHeaderSize;
  const size_t length = size - kHeaderSize - kCrcSize;
  const uint32_t type = length >= kTypeBytes ? static_cast<uint32_t>(Bits(message, 0, 12)) : 0;
  const std::optional<int64_t> epochOffset = EpochOffsetMs(type);
  const size_t needed = type == 1005   ? kStationBytes1005
                        : type == 1006 ? kStationBytes1006
                        : epochOffset  ? kEpochBytes
                                       : kTypeBytes;
  if (length < needed) {
    ++tooShort_;
    skipped_ += size;
    return;
  }
  ++frames_;
  recent_.insert(type);

  if (epochOffset) {
    const int64_t tow = (static_cast<int64_t>(Bits(message, 24, 30)) + *epochOffset) % kWeekMs;
    if (!streamMs_) {
      streamMs_ = tow;
    } else {
      // Unwrapped across the end of the week: a step of more than half a
      // week is the week turning over.
      int64_t step = tow - lastTowMs_;
      if (step < -kWeekMs / 2) step += kWeekMs;
      if (step > kWeekMs / 2) step -= kWeekMs;
      *streamMs_ += step;
    }
    lastTowMs_ = tow;
  }

  MessageStats& stats = messages_[type];
  ++stats.Count;
  stats.Bytes += size;
  if (streamMs_) {
    if (stats.Timed == 0) stats.FirstMs = *streamMs_;
    stats.LastMs = *streamMs_;
    ++stats.Timed;
  }

  if (type == 1005 || type == 1006) {
    StationPosition station;
    station.Message = type;
    station.StationId = static_cast<uint32_t>(Bits(message, 12, 12));
    station.X = SignedTenthsOfMillimetre(message, 34);
    station.Y = SignedTenthsOfMillimetre(message, 74);
    station.Z = SignedTenthsOfMillimetre(message, 114);
    if (type == 1006)
      station.AntennaHeight = static_cast<double>(Bits(message, 152, 16)) / kTenthsPerMetre;
    station.Position = EcefToGeodetic(station.X, station.Y, station.Z);
    station_ = station;
  }
}

}  // namespace corvane::rtcm3
