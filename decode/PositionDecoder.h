// The interface of the receiver's position decoders and the rule that picks
// one for a receiver type.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "decode/ByteWriter.h"
#include "decode/PositionFix.h"
#include "platform/TimeSource.h"

namespace corvane {

// Where a decoder's diagnostic lines go (the receiver passes TraceLine); the
// decoders stay free of I/O. Null drops them.
using TraceSink = void (*)(std::string_view text);

// What a decoder made of its input so far, for tools that check a capture:
// sentences or packets taken, and those dropped for their checksum or their
// length.
struct DecodeCounts {
  uint64_t Accepted = 0;
  uint64_t BadChecksum = 0;
  uint64_t BadLength = 0;
};

class PositionDecoder {
 public:
  virtual ~PositionDecoder() = default;
  // Consumes one chunk (1 to 2048 bytes) in arrival order, keeping what is
  // incomplete for the next call. Called from one thread at a time. Longer
  // chunks are taken as consecutive 2048-byte pieces. Allocates nothing.
  virtual int32_t Decode(const uint8_t* bytes, int32_t count) = 0;
  // Writes the commands that make the receiver output what this decoder
  // reads, pausing between writes; true on completion. Touches no decoder
  // state, so it may run on another thread than Decode.
  virtual bool ConfigureReceiver(ByteWriter& channel) = 0;
};

// The receiver type that selects the GSOF decoder.
inline constexpr int32_t kGsofBoard = 4;

// A GsofDecoder for receiver type 4, an NmeaDecoder for any other value.
std::unique_ptr<PositionDecoder> MakePositionDecoder(int32_t gpsBoard, SharedPositionFix& fix,
                                                     TimeSource& time, TraceSink trace = nullptr);

}  // namespace corvane
