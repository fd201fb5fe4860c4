// Real receiver captures and a long generated GSOF stream decode to the same
// record whatever the chunking of the byte stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "decode/GsofDecoder.h"
#include "decode/NmeaDecoder.h"
#include "fixtures/VirtualTime.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> NmeaCaptures() {
  std::vector<fs::path> files;
  for (const char* folder : {"nmea", "mixed"}) {
    for (const auto& entry :
         fs::directory_iterator(fs::path(CORVANE_SOURCE_DIR) / "tests/data" / folder)) {
      if (entry.path().extension() == ".log") files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadCapture(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return testing::WithoutCommentLines(text.str());
}

template <typename Decoder>
PositionFix DecodeInChunks(const void* data, size_t size, const std::vector<size_t>& chunks) {
  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  Decoder decoder(fix, time);
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  for (size_t i = 0; done < size; ++i) {
    const size_t chunk = std::min(chunks[i % chunks.size()], size - done);
    decoder.Decode(bytes + done, static_cast<int32_t>(chunk));
    done += chunk;
  }
  return fix.Snapshot();
}

// Every chunk size from 1 to 80, then every 29th up to 2048 (the sweep stays
// short enough for the sanitizer builds), and mixed sizes.
std::vector<std::vector<size_t>> Chunkings() {
  std::vector<std::vector<size_t>> chunkings;
  for (size_t size = 1; size <= 80; ++size) chunkings.push_back({size});
  for (size_t size = 109; size < 2048; size += 29) chunkings.push_back({size});
  chunkings.push_back({2047});
  std::mt19937 random(7);
  for (int run = 0; run < 8; ++run) {
    std::vector<size_t> mixed;
    for (int i = 0; i < 97; ++i) mixed.push_back(1 + random() % (run % 2 ? 2048 : 40));
    chunkings.push_back(mixed);
  }
  return chunkings;
}

TEST(CaptureTest, NmeaCapturesDecodeAlikeInAnyChunking) {
  const auto files = NmeaCaptures();
  ASSERT_GE(files.size(), 22u);
  int withPosition = 0;
  for (const fs::path& file : files) {
    const std::string capture = ReadCapture(file);
    ASSERT_FALSE(capture.empty()) << file;
    const PositionFix whole = DecodeInChunks<NmeaDecoder>(capture.data(), capture.size(), {2048});
    if (whole.Latitude != 0.0) ++withPosition;
    for (const auto& chunks : Chunkings()) {
      const PositionFix chunked =
          DecodeInChunks<NmeaDecoder>(capture.data(), capture.size(), chunks);
      ASSERT_EQ(chunked, whole) << file << " chunk " << chunks.front();
    }
  }
  EXPECT_GE(withPosition, 15);
}

TEST(CaptureTest, GeneratedGsofStreamDecodesAlikeInEveryChunkSize) {
  const testing::Bytes last =
      testing::GsofReport(testing::Concat({testing::PositionRecord(0.5, 2.0, 321.5),
                                           testing::PositionTimeRecord(1941, 0, 0x07),
                                           testing::DilutionRecord(1.25f, 0.5f, 0.75f)}),
                          200);
  const testing::Bytes stream = testing::Concat({testing::GsofStream(150, 11), last});
  ASSERT_GT(stream.size(), 30000u);
  const PositionFix whole = DecodeInChunks<GsofDecoder>(stream.data(), stream.size(), {2048});
  EXPECT_EQ(whole.Latitude, 0.5 * GsofDecoder::kDegreesPerRadian);
  EXPECT_EQ(whole.Altitude, 321.5);
  EXPECT_EQ(whole.FixQuality, 1);
  EXPECT_EQ(whole.Day, 19);
  EXPECT_EQ(whole.Pdop, 1.25);
  EXPECT_GT(whole.SatsInView, 0);
  for (size_t size = 1; size <= 2048; ++size) {
    ASSERT_EQ(DecodeInChunks<GsofDecoder>(stream.data(), stream.size(), {size}), whole) << size;
  }
}

}  // namespace
}  // namespace corvane
