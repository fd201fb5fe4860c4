#include "decode/PositionDecoder.h"

#include "decode/GsofDecoder.h"
#include "decode/NmeaDecoder.h"

namespace corvane {

std::unique_ptr<PositionDecoder> MakePositionDecoder(int32_t gpsBoard, SharedPositionFix& fix,
                                                     TimeSource& time, TraceSink trace) {
  if (gpsBoard == kGsofBoard) return std::make_unique<GsofDecoder>(fix, time, trace);
  return std::make_unique<NmeaDecoder>(fix, time, trace);
}

}  // namespace corvane
