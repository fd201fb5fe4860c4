// GSOF report packets built from the documented frame and record layouts, for
// tests, benchmarks and fuzz seeds: no public capture of this output exists.
#pragma once

#include <algorithm>
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

inline void PutU16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}
inline void PutU32(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}
inline void PutFloat(Bytes& out, float value) {
  PutU32(out, std::bit_cast<uint32_t>(value));
}
inline void PutDouble(Bytes& out, double value) {
  const auto bits = std::bit_cast<uint64_t>(value);
  PutU32(out, static_cast<uint32_t>(bits >> 32));
  PutU32(out, static_cast<uint32_t>(bits));
}

// (status + type + length + data) mod 256.
inline uint8_t GsofChecksum(uint8_t status, uint8_t type, const Bytes& data) {
  uint32_t sum = status + type + static_cast<uint32_t>(data.size());
  for (uint8_t byte : data) sum += byte;
  return static_cast<uint8_t>(sum);
}

// STX, status, type, length, data, checksum, ETX.
inline Bytes GsofPacket(const Bytes& data, uint8_t type = 0x40, uint8_t status = 0x28) {
  Bytes packet;
  for (uint8_t byte : {uint8_t{0x02}, status, type, static_cast<uint8_t>(data.size())}) {
    packet.push_back(byte);
  }
  Append(packet, data);
  packet.push_back(GsofChecksum(status, type, data));
  packet.push_back(0x03);
  return packet;
}

inline Bytes Record(uint8_t type, const Bytes& body) {
  Bytes record;
  record.push_back(type);
  record.push_back(static_cast<uint8_t>(body.size()));
  Append(record, body);
  return record;
}

inline Bytes PositionTimeRecord(uint16_t week, uint32_t timeOfWeekMs, uint8_t flags2,
                                uint8_t satellites = 12) {
  Bytes body;
  PutU32(body, timeOfWeekMs);
  PutU16(body, week);
  body.push_back(satellites);
  body.push_back(0x03);  // first flags byte
  body.push_back(flags2);
  body.push_back(0);  // initialisation counter
  return Record(1, body);
}

inline Bytes PositionRecord(double latRadians, double lonRadians, double height) {
  Bytes body;
  PutDouble(body, latRadians);
  PutDouble(body, lonRadians);
  PutDouble(body, height);
  return Record(2, body);
}

inline Bytes DilutionRecord(float pdop, float hdop, float vdop, float tdop = 1.0f) {
  Bytes body;
  for (float value : {pdop, hdop, vdop, tdop}) PutFloat(body, value);
  return Record(9, body);
}

// The 38-byte position sigma record; only east, north and up are read.
inline Bytes SigmaRecord(float east, float north, float up) {
  Bytes body;
  for (float value : {0.5f, east, north, 0.0f, up, 0.0f, 0.0f, 0.0f, 1.0f}) PutFloat(body, value);
  PutU16(body, 1);
  return Record(12, body);
}

struct GsofSatellite {
  uint8_t Prn = 0;
  uint8_t System = 0;
  uint8_t Flags = 0;
  uint8_t Elevation = 0;
  uint16_t Azimuth = 0;
  uint8_t Snr1x4 = 0;
  uint8_t Snr2x4 = 0;
};

// Record 34; above 25 satellites the length byte keeps only the low eight
// bits of the body length, as the receiver sends it.
inline Bytes SatelliteRecord(const std::vector<GsofSatellite>& satellites) {
  Bytes body = {static_cast<uint8_t>(satellites.size())};
  for (const GsofSatellite& sat : satellites) {
    for (uint8_t byte : {sat.Prn, sat.System, sat.Flags, uint8_t{0}, sat.Elevation})
      body.push_back(byte);
    PutU16(body, sat.Azimuth);
    for (uint8_t byte : {sat.Snr1x4, sat.Snr2x4, uint8_t{0}}) body.push_back(byte);
  }
  Bytes record;
  record.push_back(34);
  record.push_back(static_cast<uint8_t>(body.size() & 0xFF));
  Append(record, body);
  return record;
}

// A report cut into pages of at most `pageBytes` record bytes (up to 252),
// each page one 0x40 packet: transmission number, page index, last page index.
inline Bytes GsofReport(const Bytes& records, uint8_t transmission, size_t pageBytes = 248) {
  const size_t pages = std::max<size_t>(1, (records.size() + pageBytes - 1) / pageBytes);
  Bytes stream;
  for (size_t page = 0; page < pages; ++page) {
    Bytes data;
    data.push_back(transmission);
    data.push_back(static_cast<uint8_t>(page));
    data.push_back(static_cast<uint8_t>(pages - 1));
    const size_t end = std::min(records.size(), (page + 1) * pageBytes);
    for (size_t i = page * pageBytes; i < end; ++i) data.push_back(records[i]);
    Append(stream, GsofPacket(data));
  }
  return stream;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) Append(all, part);
  return all;
}

// A long receiver stream: `reports` reports, every third one a three-page
// report with satellite detail for 30 satellites, with random noise (STX bytes
// included) between packets. Deterministic for a seed.
inline Bytes GsofStream(int reports, uint32_t seed) {
  std::mt19937 random(seed);
  const auto noise = [&](Bytes& out) {
    const size_t count = random() % 40;
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(random()));
  };
  Bytes stream;
  for (int n = 0; n < reports; ++n) {
    const double lat = (random() % 2000 - 1000) / 1000.0;
    const double lon = (random() % 6000 - 3000) / 1000.0;
    Bytes records =
        Concat({PositionTimeRecord(static_cast<uint16_t>(1900 + n % 100), random() % 604800000u,
                                   static_cast<uint8_t>(random() % 16)),
                PositionRecord(lat, lon, (random() % 100000) / 100.0),
                DilutionRecord(static_cast<float>(random() % 90) / 10.0f, 1.0f, 2.0f),
                SigmaRecord(static_cast<float>(random() % 100) / 100.0f, 0.5f, 0.75f)});
    size_t pageBytes = 248;
    if (n % 3 == 0) {
      std::vector<GsofSatellite> satellites;
      for (uint8_t k = 0; k < 30; ++k) {
        satellites.push_back({static_cast<uint8_t>(k + 1), static_cast<uint8_t>(random() % 6),
                              static_cast<uint8_t>(random()), static_cast<uint8_t>(random() % 90),
                              static_cast<uint16_t>(random() % 360), static_cast<uint8_t>(random()),
                              static_cast<uint8_t>(random())});
      }
      records = Concat({records, SatelliteRecord(satellites)});
      pageBytes = (records.size() + 2) / 3;
    }
    const Bytes report = GsofReport(records, static_cast<uint8_t>(n), pageBytes);
    noise(stream);
    Append(stream, report);
  }
  return stream;
}

}  // namespace corvane::testing
