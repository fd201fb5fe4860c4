// Position from NMEA 0183 output (NovAtel-type receivers): cuts the byte
// stream into sentences at line feeds and writes GGA, GSV, GSA, RMC and GST
// into the position record. A sentence whose "*hh" checksum does not match is
// dropped; one without a checksum is taken as it stands. Missing fields read 0.
#pragma once

#include <array>
#include <cstdint>

#include "decode/PositionDecoder.h"

namespace corvane {

class NmeaDecoder final : public PositionDecoder {
 public:
  // Longest unfinished line kept between chunks; longer ones keep their tail.
  static constexpr int32_t kCarrySize = 1024;
  // Longest sentence, "$" through line feed; longer ones are skipped.
  static constexpr int32_t kSentenceSize = 1024;
  // Bytes of a GGA sentence that are read; the rest is ignored.
  static constexpr int32_t kGgaSize = 256;
  // Longest chunk framed at once.
  static constexpr int32_t kChunkSize = 2048;

  NmeaDecoder(SharedPositionFix& fix, TimeSource& time, TraceSink trace = nullptr);

  // Returns -1 in every case.
  int32_t Decode(const uint8_t* bytes, int32_t count) override;
  bool ConfigureReceiver(ByteWriter& channel) override;

  int32_t CarryLength() const { return carryLength_; }
  const DecodeCounts& Counts() const { return counts_; }

 private:
  void DecodeChunk(const uint8_t* bytes, int32_t count);
  void AppendCarry(const uint8_t* bytes, int32_t count);
  void Trace(std::string_view text) const;
  void TraceErrors(double vrms, double hrms) const;

  SharedPositionFix& fix_;
  TimeSource& time_;
  TraceSink trace_;
  std::array<uint8_t, kCarrySize> carry_{};
  int32_t carryLength_ = 0;
  bool talkerGps_ = false;
  bool talkerGlonass_ = false;
  bool talkerBeidou_ = false;
  DecodeCounts counts_;
};

}  // namespace corvane
