// GSOF report packets built from the documented frame and record layouts, for
// tests, benchmarks and fuzz seeds: no public capture of this output exists.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <random>
#include <vector>

namespace corvane::testing {

using Bytes = std::vector<uint8_t>;

// Byte by byte: GCC 12 warns falsely about inserting ranges into short vectors.
inline void Append(Bytes& out, const Bytes& more) {
  for (uint8_t byte : more) out.push_back(byte);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) Append(all, part);
  return all;
}

// The values big-endian, as every GSOF number is sent.
template <typename... Values>
Bytes BigEndian(Values... values) {
  static_assert(std::endian::native == std::endian::little);
  Bytes out;
  const auto put = [&out](auto value) {
    const auto bytes = std::bit_cast<std::array<uint8_t, sizeof value>>(value);
    for (size_t i = bytes.size(); i-- > 0;) out.push_back(bytes[i]);
  };
  (put(values), ...);
  return out;
}

// STX, status, type, length, data, checksum (status + type + length + data
// mod 256), ETX.
inline Bytes GsofPacket(const Bytes& data, uint8_t type = 0x40, uint8_t status = 0x28) {
  const auto length = static_cast<uint8_t>(data.size());
  uint8_t sum = status + type + length;
  for (uint8_t byte : data) sum += byte;
  return Concat({{0x02, status, type, length}, data, {sum, 0x03}});
}

// Type, length, body. Record 34 above 25 satellites has a body over 255 bytes:
// the length byte keeps only its low eight bits, as the receiver sends it.
inline Bytes Record(uint8_t type, const Bytes& body) {
  return Concat({{type, static_cast<uint8_t>(body.size())}, body});
}

inline Bytes PositionTimeRecord(uint16_t week, uint32_t timeOfWeekMs, uint8_t flags2) {
  // 12 satellites, first flags byte 3, initialisation counter 0.
  return Record(1, BigEndian(timeOfWeekMs, week, uint8_t{12}, uint8_t{3}, flags2, uint8_t{0}));
}

inline Bytes PositionRecord(double latRadians, double lonRadians, double height) {
  return Record(2, BigEndian(latRadians, lonRadians, height));
}

inline Bytes DilutionRecord(float pdop, float hdop, float vdop) {
  return Record(9, BigEndian(pdop, hdop, vdop, 1.0f));
}

// The 38-byte position sigma record; only east, north and up are read.
inline Bytes SigmaRecord(float east, float north, float up) {
  return Record(12, BigEndian(0.5f, east, north, 0.0f, up, 0.0f, 0.0f, 0.0f, 1.0f, uint16_t{1}));
}

// One 10-byte entry of record 34; the signal-to-noise ratios are in quarter dB.
inline Bytes Satellite(uint8_t prn, uint8_t system, uint8_t flags, uint8_t elevation,
                       uint16_t azimuth, uint8_t snr1x4, uint8_t snr2x4) {
  return BigEndian(prn, system, flags, uint8_t{0}, elevation, azimuth, snr1x4, snr2x4, uint8_t{0});
}

// A report cut into pages of at most `pageBytes` record bytes (up to 252),
// each page one 0x40 packet: transmission number, page index, last page index.
inline Bytes GsofReport(const Bytes& records, uint8_t transmission, size_t pageBytes = 248) {
  const size_t pages = std::max<size_t>(1, (records.size() + pageBytes - 1) / pageBytes);
  Bytes stream;
  for (size_t page = 0; page < pages; ++page) {
    Bytes data = {transmission, static_cast<uint8_t>(page), static_cast<uint8_t>(pages - 1)};
    for (size_t i = page * pageBytes; i < std::min(records.size(), (page + 1) * pageBytes); ++i)
      data.push_back(records[i]);
    Append(stream, GsofPacket(data));
  }
  return stream;
}

// A long receiver stream: `reports` reports, every third one a three-page
// report with satellite detail for 30 satellites, with random noise (STX bytes
// included) between packets. Deterministic for a seed.
inline Bytes GsofStream(int reports, uint32_t seed) {
  std::mt19937 random(seed);
  const auto byte = [&](uint32_t below = 256) { return static_cast<uint8_t>(random() % below); };
  Bytes stream;
  for (int n = 0; n < reports; ++n) {
    Bytes records = Concat({PositionTimeRecord(1900 + n % 100, random() % 604800000u, byte(16)),
                            PositionRecord(byte() / 128.0 - 1.0, byte() / 40.0 - 3.0, byte() * 3.5),
                            DilutionRecord(byte(90) / 10.0f, 1.0f, 2.0f),
                            SigmaRecord(byte(100) / 100.0f, 0.5f, 0.75f)});
    if (n % 3 == 0) {
      Bytes satellites = {30};
      for (uint8_t k = 1; k <= 30; ++k)
        Append(satellites, Satellite(k, byte(6), byte(), byte(90), random() % 360, byte(), byte()));
      Append(records, Record(34, satellites));
    }
    for (uint32_t noise = random() % 40; noise > 0; --noise) stream.push_back(byte());
    Append(stream, GsofReport(records, static_cast<uint8_t>(n), n % 3 == 0 ? 134 : 248));
  }
  return stream;
}

}  // namespace corvane::testing
