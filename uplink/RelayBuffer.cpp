#include "uplink/RelayBuffer.h"

#include <cstring>

namespace corvane {

void RelayBuffer::RelayPut(const uint8_t* bytes, int count) {
  if (count <= 0) return;
  std::lock_guard guard(lock_);
  if (fill_ + count >= kCapacity) fill_ = 0;
  const int kept = count > kMaxFill ? kMaxFill : count;
  std::memcpy(data_.data() + fill_, bytes + (count - kept), static_cast<size_t>(kept));
  fill_ += kept;
  total_.fetch_add(static_cast<uint32_t>(count), std::memory_order_relaxed);
}

int RelayBuffer::RelayTake(uint8_t* destination) {
  std::lock_guard guard(lock_);
  const int taken = fill_;
  if (taken > 0) {
    std::memcpy(destination, data_.data(), static_cast<size_t>(taken));
    fill_ = 0;
  }
  return taken;
}

void RelayBuffer::Reset() {
  std::lock_guard guard(lock_);
  data_.fill(0);
  fill_ = 0;
  total_.store(0, std::memory_order_relaxed);
}

int RelayBuffer::Fill() {
  std::lock_guard guard(lock_);
  return fill_;
}

}  // namespace corvane
