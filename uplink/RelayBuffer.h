// The hand-over buffer between the relay reader (puts chunks from the serial
// port) and the relay sender (takes everything waiting, every 100 ms). It
// never blocks the reader: when a chunk would fill it, what waited is dropped
// and only the newest chunk stays, so a stalled link loses old corrections
// rather than delaying new ones.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace corvane {

class RelayBuffer {
 public:
  static constexpr int kCapacity = 4096;
  // At most kCapacity - 1 bytes wait at any time.
  static constexpr int kMaxFill = kCapacity - 1;

  // Appends the chunk; when fill + count reaches kCapacity, the waiting bytes
  // are dropped first. A chunk longer than kMaxFill keeps its newest bytes.
  // total grows by the whole count either way.
  void RelayPut(const uint8_t* bytes, int count);
  // Moves every waiting byte into `destination` (room for kCapacity bytes)
  // and returns how many; 0 when nothing waits.
  int RelayTake(uint8_t* destination);

  // Empties the buffer and zeroes the total.
  void Reset();
  // Bytes put since the last Reset, dropped ones included; wraps at 2^32.
  uint32_t Total() const { return total_.load(std::memory_order_relaxed); }
  int Fill();

 private:
  std::mutex lock_;
  std::array<uint8_t, kCapacity> data_{};
  int32_t fill_ = 0;
  std::atomic<uint32_t> total_{0};
};

}  // namespace corvane
