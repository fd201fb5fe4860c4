// Position from Trimble GSOF reports (Trimble-type receivers): finds the
// report packets (type 0x40) in the byte stream, checks their checksums, joins
// multi-page reports and writes records 1, 2, 9, 12 and 34 into the position
// record. Everything that is not a valid report packet is passed over.
#pragma once

#include <array>
#include <cstdint>

#include "decode/PositionDecoder.h"

namespace corvane {

// A calendar date and time of day.
struct CalendarTime {
  int32_t Year = 0;
  int32_t Month = 0;
  int32_t Day = 0;
  int32_t Hour = 0;
  int32_t Minute = 0;
  int32_t Second = 0;
};

// GPS week and time of week (ms) as the receiver's clock shows it: GPS time
// plus 8 hours, no leap seconds.
CalendarTime GpsWeekToCalendar(uint32_t week, uint32_t timeOfWeekMs);

// FixQuality from record 1's second position-flags byte, before the
// coordinate override.
int32_t FixQualityFromFlags(uint8_t flags);

class GsofDecoder final : public PositionDecoder {
 public:
  static constexpr int32_t kStreamSize = 6144;
  // Dropped from the front when the stream would overflow.
  static constexpr int32_t kStreamDrop = 2048;
  static constexpr int32_t kPageSize = 10240;
  static constexpr int32_t kChunkSize = 2048;
  // Degrees per radian as the receiver software has always converted them
  // (180 / 3.1415926), kept so positions match earlier installations.
  static constexpr double kDegreesPerRadian = 57.295780490442965;

  GsofDecoder(SharedPositionFix& fix, TimeSource& time, TraceSink trace = nullptr);

  // Returns 0 in every case.
  int32_t Decode(const uint8_t* bytes, int32_t count) override;
  bool ConfigureReceiver(ByteWriter& channel) override;

  int32_t StreamLength() const { return streamLength_; }
  int32_t PageLength() const { return pageLength_; }
  const DecodeCounts& Counts() const { return counts_; }

 private:
  void DecodeChunk(const uint8_t* bytes, int32_t count);
  void AssemblePage(const uint8_t* payload, int32_t length);
  void DropReport();
  void WalkRecords();

  SharedPositionFix& fix_;
  TimeSource& time_;
  TraceSink trace_;
  std::array<uint8_t, kStreamSize> stream_{};
  std::array<uint8_t, kPageSize> page_{};
  int32_t streamLength_ = 0;
  int32_t pageLength_ = 0;
  // The report being joined: its transmission number, last page index and
  // the page index it needs next; -1 when no report is being joined.
  uint8_t transmission_ = 0;
  uint8_t lastPage_ = 0;
  int32_t nextPage_ = -1;
  DecodeCounts counts_;
  // Where the last scan stopped: the bytes before it hold no packet start,
  // and they do not change, so the next scan goes on from there.
  int32_t scanStart_ = 0;
};

}  // namespace corvane
