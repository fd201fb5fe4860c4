// Decode must not touch the heap: it runs for every chunk the receiver sends.
// This program replaces the global allocation functions with counting ones
// (plain malloc/free underneath, so the sanitizer builds still see every
// block), which is why it is a program of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include "decode/GsofDecoder.h"
#include "decode/NmeaDecoder.h"
#include "fixtures/VirtualTime.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"

namespace {
std::atomic<long> allocations{0};

void* CountedAllocate(std::size_t size) {
  ++allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) {
  return CountedAllocate(size);
}
void* operator new[](std::size_t size) {
  return CountedAllocate(size);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}

namespace corvane {
namespace {

void IgnoreTrace(std::string_view) {}

TEST(NoAllocationTest, CountingWorks) {
  const long before = allocations.load();
  // A direct call: compilers may elide a new-expression's allocation.
  void* probe = ::operator new(16);
  EXPECT_EQ(allocations.load(), before + 1);
  ::operator delete(probe);
}

TEST(NoAllocationTest, DecodeAllocatesNothing) {
  std::ifstream in(
      std::filesystem::path(CORVANE_SOURCE_DIR) / "tests/data/nmea/ublox-neo-m9n-nmea.log",
      std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string nmea = testing::WithoutCommentLines(text.str());
  ASSERT_GT(nmea.size(), 50000u);
  const testing::Bytes gsof = testing::GsofStream(60, 3);

  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  NmeaDecoder nmeaDecoder(fix, time, IgnoreTrace);
  GsofDecoder gsofDecoder(fix, time, IgnoreTrace);
  const long before = allocations.load();
  for (size_t chunk : {1u, 17u, 2048u}) {
    testing::Feed(nmeaDecoder, nmea, chunk);
    testing::Feed(gsofDecoder, gsof.data(), gsof.size(), chunk);
  }
  (void)fix.Snapshot();
  EXPECT_EQ(allocations.load(), before);
  EXPECT_NE(fix.Snapshot().Latitude, 0.0);
}

}  // namespace
}  // namespace corvane
