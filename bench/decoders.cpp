// Decoding speed of the two position decoders: NMEA over the real captures
// in tests/data, GSOF over a generated stream of single- and three-page
// reports with noise, both fed in chunks as the decode worker takes them.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "decode/GsofDecoder.h"
#include "decode/NmeaDecoder.h"
#include "fixtures/VirtualTime.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"

namespace {

namespace fs = std::filesystem;

const std::string& NmeaCaptures() {
  static const std::string all = [] {
    std::string text;
    for (const char* folder : {"nmea", "mixed"}) {
      for (const auto& entry :
           fs::directory_iterator(fs::path(CORVANE_SOURCE_DIR) / "tests/data" / folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        text += corvane::testing::WithoutCommentLines(content.str());
      }
    }
    return text;
  }();
  return all;
}

const corvane::testing::Bytes& GsofStream() {
  static const corvane::testing::Bytes stream = corvane::testing::GsofStream(3000, 42);
  return stream;
}

template <typename Decoder>
void DecodeAll(benchmark::State& state, const uint8_t* data, size_t size) {
  corvane::testing::VirtualTimeSource time;
  corvane::SharedPositionFix fix;
  Decoder decoder(fix, time);
  const auto chunk = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    for (size_t done = 0; done < size; done += chunk) {
      decoder.Decode(data + done, static_cast<int32_t>(std::min(chunk, size - done)));
    }
    benchmark::DoNotOptimize(fix.FixQuality());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_NmeaDecode(benchmark::State& state) {
  const std::string& text = NmeaCaptures();
  DecodeAll<corvane::NmeaDecoder>(state, reinterpret_cast<const uint8_t*>(text.data()),
                                  text.size());
}
BENCHMARK(BM_NmeaDecode)->Arg(64)->Arg(512)->Arg(2048);

void BM_GsofDecode(benchmark::State& state) {
  const auto& stream = GsofStream();
  DecodeAll<corvane::GsofDecoder>(state, stream.data(), stream.size());
}
BENCHMARK(BM_GsofDecode)->Arg(64)->Arg(512)->Arg(2048);

}  // namespace

BENCHMARK_MAIN();
