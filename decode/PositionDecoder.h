// The interface of the receiver's position decoders and the rule that picks
// one for a receiver type.
#pragma once

#include <cstdint>
#include <memory>

#include "decode/ByteWriter.h"
#include "decode/PositionFix.h"
#include "platform/TimeSource.h"

namespace corvane {

class PositionDecoder {
 public:
  virtual ~PositionDecoder() = default;
  // Consumes one chunk (1 to 2048 bytes) in arrival order, keeping what is
  // incomplete for the next call. Called from one thread at a time.
  virtual int32_t Decode(const uint8_t* bytes, int32_t count) = 0;
  // Writes the commands that make the receiver output what this decoder
  // reads, pausing between writes; true on completion.
  virtual bool ConfigureReceiver(ByteWriter& channel) = 0;
};

// A GsofDecoder for receiver type 4, an NmeaDecoder for any other value.
std::unique_ptr<PositionDecoder> MakePositionDecoder(int32_t gpsBoard, SharedPositionFix& fix,
                                                     TimeSource& time);

}  // namespace corvane
