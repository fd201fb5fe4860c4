// Start-up cost of a large registry file: the store reads and parses it and
// the settings load from it, all before the main window shows. Two shapes:
// 50,000 keys of one value each in the UTF-16 flavour, and a 5 MB ANSI
// (REGEDIT4) export whose one key holds every value.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "config/Settings.h"
#include "fixtures/TempDir.h"
#include "platform/CodePage.h"
#include "platform/RegistryStore.h"

namespace {

namespace fs = std::filesystem;

fs::path WriteKeysFile(const fs::path& folder, int keys) {
  std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n";
  for (int i = 0; i < keys; ++i) {
    text += corvane::AnsiToWide("[HKEY_LOCAL_MACHINE\\software\\Device\\Key" + std::to_string(i) +
                                "]\r\n\"Value\"=dword:0000002a\r\n\r\n");
  }
  const fs::path file = folder / "keys.reg";
  std::ofstream(file, std::ios::binary) << corvane::EncodeRegistryFile(text);
  return file;
}

fs::path WriteLargeFile(const fs::path& folder, size_t size) {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\software\\Device]\r\n";
  for (int i = 0; text.size() < size; ++i) {
    text += "\"Name" + std::to_string(i) + "\"=\"some text of a value\"\r\n";
  }
  const fs::path file = folder / "large.reg";
  std::ofstream(file, std::ios::binary) << text;
  return file;
}

void LoadFile(benchmark::State& state, const fs::path& file) {
  for (auto _ : state) {
    corvane::RegistryStore registry(file);
    corvane::Settings settings;
    benchmark::DoNotOptimize(corvane::LoadSettings(settings, registry));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(file)));
}

void BM_Load50000Keys(benchmark::State& state) {
  corvane::testing::TempDir dir;
  LoadFile(state, WriteKeysFile(dir.path(), 50000));
}
BENCHMARK(BM_Load50000Keys)->Unit(benchmark::kMillisecond);

void BM_Load5MbFile(benchmark::State& state) {
  corvane::testing::TempDir dir;
  LoadFile(state, WriteLargeFile(dir.path(), 5 << 20));
}
BENCHMARK(BM_Load5MbFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
