// Where a decoder writes the commands that make the receiver send what it
// reads: the receiver's serial channel, or a recorder in tests.
#pragma once

#include <cstdint>

namespace corvane {

class ByteWriter {
 public:
  virtual ~ByteWriter() = default;
  // Queues the bytes for the device; returns the count taken.
  virtual int32_t Write(const uint8_t* bytes, int32_t count) = 0;
};

}  // namespace corvane
