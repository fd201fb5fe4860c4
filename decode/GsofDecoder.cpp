#include "decode/GsofDecoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace corvane {
namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kReportType = 0x40;
constexpr uint32_t kClockOffsetSeconds = 8 * 3600;
constexpr uint32_t kSecondsPerDay = 86400;
constexpr int32_t kGpsEpochYear = 1980;
// 6 January 1980, the first day of GPS week 0, is day 6 of its year.
constexpr int64_t kGpsEpochDayOfYear = 6;
constexpr Millis kCommandPause{50};

// Three application-file packets, each behind a 2-byte little-endian count
// (23) that is sent along: STX, status, type 0x64, length 0x11, transmission
// number, page 0, last page 0, file bytes 03 00 01 00, one output record
// (type 07, length 08, GSOF output 0a, port 00, rate code, offset 00, GSOF
// record number, 00 00 00), checksum, ETX.
constexpr uint8_t kCommands[3][25] = {
    // record 34, all-satellite detail, rate code 5
    {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
     0x07, 0x08, 0x0a, 0x00, 0x05, 0x00, 0x22, 0x00, 0x00, 0x00, 0xb9, 0x03},
    // record 2, position, rate code 3
    {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
     0x07, 0x08, 0x0a, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0x98, 0x03},
    // record 1, position time, rate code 3
    {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x03, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
     0x07, 0x08, 0x0a, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x99, 0x03},
};

uint16_t ReadU16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

uint32_t ReadU32(const uint8_t* at) {
  return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

float ReadFloat(const uint8_t* at) {
  return std::bit_cast<float>(ReadU32(at));
}

double ReadDouble(const uint8_t* at) {
  return std::bit_cast<double>(uint64_t{ReadU32(at)} << 32 | ReadU32(at + 4));
}

bool IsLeapYear(int32_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int32_t DaysInMonth(int32_t year, int32_t month) {
  static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Record layouts, offsets from the record's type byte; every multi-byte number
// is big-endian. A record whose length byte does not cover its layout is
// skipped.
//
// Record 1, position time: 2 time of week ms (u32), 6 week (u16), 8 and 9
// flags, 10 second flags byte (fix quality), 11 not read.
constexpr int32_t kRecord1Size = 12;
// Record 2: 2 latitude, 10 longitude (radians, double), 18 height (m, double).
constexpr int32_t kRecord2Size = 26;
// Record 9: 2 PDOP, 6 HDOP, 10 VDOP, 14 TDOP (single).
constexpr int32_t kRecord9Size = 18;
// Record 12: 2 RMS, 6 east sigma, 10 north sigma, 14 covariance, 18 up sigma
// (single), more fields after that are not read.
constexpr int32_t kRecord12Size = 22;
// Record 34: 2 satellite count N, then 10 bytes per satellite from 3 + 10k:
// number, system, flags (0x40 used), not read, elevation, azimuth (u16),
// L1 SNR x4, L2 SNR x4, not read.
constexpr int32_t kRecord34Head = 3;
constexpr int32_t kSatelliteSize = 10;

void ApplyPositionTime(const uint8_t* record, PositionFix& fix) {
  const CalendarTime time = GpsWeekToCalendar(ReadU16(record + 6), ReadU32(record + 2));
  fix.Year = time.Year;
  fix.Month = time.Month;
  fix.Day = time.Day;
  fix.Hour = time.Hour;
  fix.Minute = time.Minute;
  fix.Second = time.Second;
  fix.FixQuality = FixQualityFromFlags(record[10]);
  // Positions in the receivers' home region count as valid whatever the flags
  // say; the coordinates are those of the last record 2.
  if (fix.Latitude > 1.0 && fix.Longitude > 1.0) fix.FixQuality = 1;
}

void ApplyPosition(const uint8_t* record, PositionFix& fix) {
  fix.Latitude = ReadDouble(record + 2) * GsofDecoder::kDegreesPerRadian;
  fix.Longitude = ReadDouble(record + 10) * GsofDecoder::kDegreesPerRadian;
  fix.Altitude = ReadDouble(record + 18);
}

void ApplyDilution(const uint8_t* record, PositionFix& fix) {
  fix.Pdop = ReadFloat(record + 2);
  fix.Hdop = ReadFloat(record + 6);
  fix.Vdop = ReadFloat(record + 10);
}

void ApplySigma(const uint8_t* record, PositionFix& fix) {
  const float east = ReadFloat(record + 6);
  const float north = ReadFloat(record + 10);
  // Squares and sum in single precision, as the receiver's figures always
  // were; separate statements keep the compiler from fusing them.
  const float eastSquared = east * east;
  const float northSquared = north * north;
  const float sum = eastSquared + northSquared;
  fix.Hrms = std::sqrt(static_cast<double>(sum));
  fix.Vrms = ReadFloat(record + 18);
}

// Refills the three satellite tables; satellites past a table's 20 entries
// and of systems other than GPS/SBAS (0, 1), GLONASS (2) and BeiDou (5) are
// not stored, and the counts count stored entries only.
void ApplySatellites(const uint8_t* record, PositionFix& fix) {
  fix.GpsSats = {};
  fix.GloSats = {};
  fix.BdsSats = {};
  fix.GpsInView = 0;
  fix.GloInView = 0;
  fix.BdsInView = 0;
  const int32_t count = record[2];
  for (int32_t k = 0; k < count; ++k) {
    const uint8_t* entry = record + kRecord34Head + kSatelliteSize * k;
    SatelliteTable* table = nullptr;
    int32_t* inView = nullptr;
    switch (entry[1]) {
      case 0:
      case 1:
        table = &fix.GpsSats;
        inView = &fix.GpsInView;
        break;
      case 2:
        table = &fix.GloSats;
        inView = &fix.GloInView;
        break;
      case 5:
        table = &fix.BdsSats;
        inView = &fix.BdsInView;
        break;
      default:
        continue;
    }
    if (*inView >= kSatelliteTableSize) continue;
    SatelliteInfo& sat = (*table)[static_cast<size_t>(*inView)];
    sat = SatelliteInfo{};
    sat.Prn = entry[0];
    sat.Used = (entry[2] & 0x40) != 0 ? 1 : 0;
    sat.Elevation = entry[4];
    sat.Azimuth = ReadU16(entry + 5);
    sat.Snr = entry[7] / 4;
    sat.Snr2 = entry[8] / 4;
    ++*inView;
  }
  fix.SatsInView = fix.GpsInView + fix.GloInView + fix.BdsInView;
}

// Decodes one record of `size` bytes (type, length byte, body).
void ApplyRecord(const uint8_t* record, int32_t size, PositionFix& fix) {
  switch (record[0]) {
    case 1:
      if (size >= kRecord1Size) ApplyPositionTime(record, fix);
      break;
    case 2:
      if (size >= kRecord2Size) ApplyPosition(record, fix);
      break;
    case 9:
      if (size >= kRecord9Size) ApplyDilution(record, fix);
      break;
    case 12:
      if (size >= kRecord12Size) ApplySigma(record, fix);
      break;
    case 34:
      // The walk sized it by its satellite count.
      ApplySatellites(record, fix);
      break;
    default:
      // 16 and 27 among others: not used.
      break;
  }
}

}  // namespace

CalendarTime GpsWeekToCalendar(uint32_t week, uint32_t timeOfWeekMs) {
  const uint32_t seconds = timeOfWeekMs / 1000 + kClockOffsetSeconds;
  const uint32_t secondOfDay = seconds % kSecondsPerDay;
  CalendarTime time;
  time.Hour = static_cast<int32_t>(secondOfDay / 3600);
  time.Minute = static_cast<int32_t>(secondOfDay % 3600 / 60);
  time.Second = static_cast<int32_t>(secondOfDay % 60);

  int64_t dayOfYear = kGpsEpochDayOfYear + 7 * int64_t{week} + seconds / kSecondsPerDay;
  int32_t year = kGpsEpochYear;
  while (dayOfYear > (IsLeapYear(year) ? 366 : 365)) {
    dayOfYear -= IsLeapYear(year) ? 366 : 365;
    ++year;
  }
  int32_t month = 1;
  while (dayOfYear > DaysInMonth(year, month)) {
    dayOfYear -= DaysInMonth(year, month);
    ++month;
  }
  time.Year = year;
  time.Month = month;
  time.Day = static_cast<int32_t>(dayOfYear);
  return time;
}

int32_t FixQualityFromFlags(uint8_t flags) {
  switch (flags & 0x0F) {
    case 0:
      return 0;
    case 1:
      return 2;
    case 3:
      return 3;
    case 7:
      return 4;
    default:
      return (flags & 3) <= 1 ? 1 : 0;
  }
}

GsofDecoder::GsofDecoder(SharedPositionFix& fix, TimeSource& time, TraceSink trace)
    : fix_(fix), time_(time), trace_(trace) {}

bool GsofDecoder::ConfigureReceiver(ByteWriter& channel) {
  for (const auto& block : kCommands) {
    channel.Write(block, static_cast<int32_t>(sizeof block));
    time_.Sleep(kCommandPause);
  }
  return true;
}

int32_t GsofDecoder::Decode(const uint8_t* bytes, int32_t count) {
  if (bytes == nullptr || count <= 0) {
    if (trace_ != nullptr) trace_("Decoder -- Decoder Input InValid Para \n");
    return 0;
  }
  for (int32_t done = 0; done < count; done += kChunkSize) {
    DecodeChunk(bytes + done, std::min(kChunkSize, count - done));
  }
  return 0;
}

// Packet frame: 0 STX (0x02), 1 status, 2 type (0x40), 3 length L, 4 data
// (L bytes), 4+L checksum = (status + type + L + data) mod 256, 5+L ETX (not
// examined). Data: 0 transmission number, 1 page index, 2 last page index,
// 3 on the next slice of the report's records.
void GsofDecoder::DecodeChunk(const uint8_t* bytes, int32_t count) {
  // Bytes that never formed a packet go oldest first. A piece is at most 2048
  // bytes, so an overflow means more than 4096 are held and dropping 2048
  // always makes room.
  if (streamLength_ + count > kStreamSize) {
    std::memmove(stream_.data(), stream_.data() + kStreamDrop,
                 static_cast<size_t>(streamLength_ - kStreamDrop));
    streamLength_ -= kStreamDrop;
    scanStart_ = std::max(0, scanStart_ - kStreamDrop);
  }
  std::memcpy(stream_.data() + streamLength_, bytes, static_cast<size_t>(count));
  streamLength_ += count;

  int32_t consumed = -1;
  int32_t i = scanStart_;
  while (i < streamLength_) {
    if (stream_[i] == kStx) {
      const int32_t held = streamLength_ - i;
      if (held < 4) {
        // A start whose type byte is here and not a report is just a byte.
        if (held < 3 || stream_[i + 2] == kReportType) break;
      } else if (stream_[i + 2] == kReportType) {
        const int32_t length = stream_[i + 3];
        if (held < length + 5) break;
        uint32_t sum = 0;
        for (int32_t k = i + 1; k < i + 4 + length; ++k) sum += stream_[k];
        if (static_cast<uint8_t>(sum) == stream_[i + 4 + length]) {
          ++counts_.Accepted;
          AssemblePage(&stream_[i + 4], length);
          // Consumed through the ETX, which may still be on its way; it is
          // then passed over as noise when it comes.
          i += length + 6;
          consumed = i;
          continue;
        }
        ++counts_.BadChecksum;
      }
    }
    ++i;
  }
  scanStart_ = std::min(i, streamLength_);
  if (consumed >= 0) {
    const int32_t rest = std::max(0, streamLength_ - consumed);
    std::memmove(stream_.data(), stream_.data() + (streamLength_ - rest),
                 static_cast<size_t>(rest));
    streamLength_ = rest;
    scanStart_ = std::max(0, scanStart_ - consumed);
  }
}

// A report is joined from its pages in order: page 0, then each next page of
// the same transmission up to the last. A page out of turn means pages were
// lost; joining the rest would put slices with a gap between them, or another
// report's bytes, into one walk, so the partial report is dropped.
void GsofDecoder::AssemblePage(const uint8_t* payload, int32_t length) {
  if (length < 3) {
    ++counts_.BadLength;
    return;
  }
  const uint8_t transmission = payload[0];
  const uint8_t pageIndex = payload[1];
  const uint8_t lastPage = payload[2];
  const uint8_t* records = payload + 3;
  const int32_t size = length - 3;
  if (pageIndex == 0) {
    std::memcpy(page_.data(), records, static_cast<size_t>(size));
    pageLength_ = size;
    transmission_ = transmission;
    lastPage_ = lastPage;
    nextPage_ = 1;
  } else if (pageIndex != nextPage_ || transmission != transmission_ || lastPage != lastPage_) {
    DropReport();
    return;
  } else if (pageLength_ + size >= kPageSize) {
    ++counts_.BadLength;
    DropReport();
    return;
  } else {
    std::memcpy(page_.data() + pageLength_, records, static_cast<size_t>(size));
    pageLength_ += size;
    ++nextPage_;
  }
  if (pageIndex == lastPage) {
    nextPage_ = -1;
    WalkRecords();
  }
}

void GsofDecoder::DropReport() {
  pageLength_ = 0;
  nextPage_ = -1;
}

// Record: type, length n, n body bytes. Record 34 with more than 25
// satellites has a body over 255 bytes whose length byte keeps only the low
// eight bits, so its count gives its length; a length byte that is not the
// low byte of that leaves the record's end unknown, and with it where the
// next record starts, so the walk ends there. Walking also stops at the first
// record that is not wholly held.
void GsofDecoder::WalkRecords() {
  fix_.Modify([&](PositionFix& fix) {
    int32_t p = 0;
    while (p + 2 <= pageLength_) {
      const uint8_t type = page_[p];
      int32_t body = page_[p + 1];
      if (type == 34) {
        if (p + 2 >= pageLength_) break;
        const int32_t counted = 1 + kSatelliteSize * page_[p + 2];
        if ((counted & 0xFF) != body) break;
        body = counted;
      }
      if (body > pageLength_ - p - 2) break;
      ApplyRecord(&page_[p], body + 2, fix);
      p += body + 2;
    }
  });
}

}  // namespace corvane
