#include "uplink/RelayBuffer.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace corvane {
namespace {

std::vector<uint8_t> Pattern(int count, uint8_t first) {
  std::vector<uint8_t> bytes(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
  return bytes;
}

TEST(RelayBufferTest, OverflowDropsWhatWaitedAndKeepsTheNewChunk) {
  struct Case {
    int waiting;
    int expectedFill;  // after a 1024-byte chunk
    bool kept;         // the waiting bytes are still in front
  };
  const Case cases[] = {{3500, 1024, false}, {3072, 1024, false}, {3071, 4095, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waiting);
    RelayBuffer buffer;
    const auto old = Pattern(c.waiting, 1);
    const auto chunk = Pattern(1024, 200);
    buffer.RelayPut(old.data(), c.waiting);
    buffer.RelayPut(chunk.data(), 1024);
    EXPECT_EQ(buffer.Total(), static_cast<uint32_t>(c.waiting + 1024));  // dropped bytes count too
    std::array<uint8_t, RelayBuffer::kCapacity> out{};
    ASSERT_EQ(buffer.RelayTake(out.data()), c.expectedFill);
    std::vector<uint8_t> expected = c.kept ? old : std::vector<uint8_t>{};
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + c.expectedFill), expected);
    EXPECT_EQ(buffer.RelayTake(out.data()), 0);  // taking empties it
    EXPECT_EQ(buffer.Total(), static_cast<uint32_t>(c.waiting + 1024));
  }
}

TEST(RelayBufferTest, ChunkLongerThanTheBufferKeepsItsNewestBytes) {
  RelayBuffer buffer;
  const auto huge = Pattern(5000, 0);
  buffer.RelayPut(huge.data(), 5000);
  std::array<uint8_t, RelayBuffer::kCapacity> out{};
  ASSERT_EQ(buffer.RelayTake(out.data()), RelayBuffer::kMaxFill);
  EXPECT_EQ(out[0], huge[5000 - RelayBuffer::kMaxFill]);
  EXPECT_EQ(out[RelayBuffer::kMaxFill - 1], huge[4999]);
  EXPECT_EQ(buffer.Total(), 5000u);
  buffer.Reset();
  EXPECT_EQ(buffer.Total(), 0u);
  EXPECT_EQ(buffer.Fill(), 0);
}

}  // namespace
}  // namespace corvane
