// Decode must not touch the heap: it runs for every chunk the receiver sends.
// This program replaces the global allocation functions with counting ones
// (plain malloc/free underneath, so the sanitizer builds still see every
// block), which is why it is a program of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "decode/GsofDecoder.h"
#include "decode/NmeaDecoder.h"
#include "fixtures/VirtualTime.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"

namespace {
std::atomic<long> allocations{0};

// Apart from operator new, so that GCC does not take the frees below for
// mismatched with it.
void* CountedAllocate(std::size_t size) {
  ++allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
}  // namespace

// The array forms and the sized delete without a size end in these.
void* operator new(std::size_t size) {
  return CountedAllocate(size);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

namespace corvane::testing {
namespace {

// With a trace sink, so that the trace lines are built too.
constexpr TraceSink kIgnore = [](std::string_view) {};

TEST(NoAllocationTest, DecodeAllocatesNothing) {
  // The probe is a direct call: compilers may elide a new-expression's allocation.
  long before = allocations.load();
  ::operator delete(::operator new(16));
  EXPECT_EQ(allocations.load(), before + 1);

  const std::string nmea = WithoutCommentLines(
      ReadFileBytes(CORVANE_SOURCE_DIR "/tests/data/nmea/ublox-neo-m9n-nmea.log"));
  const Bytes gsof = GsofStream(60, 3);
  DecoderRig<NmeaDecoder, std::string_view, kIgnore> nmeaRig;
  DecoderRig<GsofDecoder, Bytes, kIgnore> gsofRig;
  before = allocations.load();
  for (size_t chunk : {1u, 17u, 2048u}) {
    nmeaRig.Decode(nmea, chunk);
    gsofRig.Decode(gsof, chunk);
  }
  EXPECT_EQ(allocations.load(), before);
  // Both streams were read.
  EXPECT_NE(nmeaRig.fix.Snapshot().Latitude * gsofRig.fix.Snapshot().Latitude, 0.0);
}

}  // namespace
}  // namespace corvane::testing
