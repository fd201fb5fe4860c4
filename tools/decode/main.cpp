// corvane-decode --format nmea|gsof [--chunk N] [--each] FILE
//
// Feeds a capture of receiver output through the NMEA or GSOF decoder in
// chunks of N bytes (1 to 2048, default 2048), as the receiver's decode worker
// would, and prints the position record as one JSON object; with --each, one
// JSON line after every chunk that changed the record. Bad arguments or an
// unreadable file: one line on stderr, exit status 2.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "decode/PositionDecoder.h"
#include "tools/decode/PositionJson.h"

namespace {

constexpr std::string_view kUsage =
    "usage: corvane-decode --format nmea|gsof [--chunk N] [--each] FILE";
constexpr int kUsageError = 2;
constexpr int32_t kMaxChunk = 2048;

int Fail(const std::string& problem) {
  std::fprintf(stderr, "corvane-decode: %s (%.*s)\n", problem.c_str(),
               static_cast<int>(kUsage.size()), kUsage.data());
  return kUsageError;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  uint8_t buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + got);
  const bool failed = std::ferror(file) != 0;
  if (failed) error = std::strerror(errno);
  std::fclose(file);
  return !failed;
}

void PrintLine(const std::string& json) {
  std::fwrite(json.data(), 1, json.size(), stdout);
  std::fputc('\n', stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string format;
  std::string path;
  int32_t chunk = kMaxChunk;
  bool each = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("%.*s\n", static_cast<int>(kUsage.size()), kUsage.data());
      return 0;
    }
    if (arg == "--format" || arg == "--chunk") {
      if (i + 1 >= argc) return Fail(std::string(arg) + " needs a value");
      const std::string_view value = argv[++i];
      if (arg == "--format") {
        if (value != "nmea" && value != "gsof")
          return Fail("unknown format \"" + std::string(value) + "\"");
        format = value;
      } else {
        const auto result = std::from_chars(value.data(), value.data() + value.size(), chunk);
        if (result.ec != std::errc() || result.ptr != value.data() + value.size() || chunk < 1 ||
            chunk > kMaxChunk) {
          return Fail("--chunk needs a whole number from 1 to 2048, not \"" + std::string(value) +
                      "\"");
        }
      }
    } else if (arg == "--each") {
      each = true;
    } else if (arg.size() > 1 && arg.front() == '-') {
      return Fail("unknown option \"" + std::string(arg) + "\"");
    } else if (!path.empty()) {
      return Fail("only one FILE may be given");
    } else {
      path = arg;
    }
  }
  if (format.empty()) return Fail("--format is required");
  if (path.empty()) return Fail("FILE is required");

  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadFile(path, bytes, error)) return Fail("cannot read " + path + ": " + error);

  corvane::SharedPositionFix fix;
  auto decoder = corvane::MakePositionDecoder(format == "gsof" ? corvane::kGsofBoard : 0, fix,
                                              corvane::SteadyTime());
  std::string last = corvane::PositionFixToJson(fix.Snapshot());
  for (size_t done = 0; done < bytes.size(); done += static_cast<size_t>(chunk)) {
    const size_t size = std::min(bytes.size() - done, static_cast<size_t>(chunk));
    decoder->Decode(bytes.data() + done, static_cast<int32_t>(size));
    if (each) {
      std::string json = corvane::PositionFixToJson(fix.Snapshot());
      if (json != last) {
        PrintLine(json);
        last = std::move(json);
      }
    }
  }
  if (!each) PrintLine(corvane::PositionFixToJson(fix.Snapshot()));
  return std::fflush(stdout) == 0 ? 0 : 1;
}
