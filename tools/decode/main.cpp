// corvane-decode --format nmea|gsof|rtcm3 [--chunk N] [--each] FILE|-
//
// Feeds a capture (a file, a device, or standard input for "-") through the
// NMEA or GSOF decoder in chunks of N bytes (1 to 2048, default 2048), as the
// receiver's decode worker would, and prints the position record as one JSON
// object; with --each, one JSON line after every chunk that changed it. With
// rtcm3 it prints an inventory of a correction stream instead. The input is
// read as it comes, so memory stays bounded on a pipe or a device.
//
// At the end one summary line goes to stderr. Exit status: 0 when something
// was decoded, 1 when nothing was or standard output could not be written,
// 2 for bad arguments or unreadable input (one line on stderr).
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "decode/GsofDecoder.h"
#include "decode/NmeaDecoder.h"
#include "tools/common/Rtcm3Inventory.h"
#include "tools/decode/InventoryJson.h"
#include "tools/decode/PositionJson.h"

namespace corvane {
namespace {

constexpr std::string_view kUsage =
    "usage: corvane-decode --format nmea|gsof|rtcm3 [--chunk N] [--each] FILE|-";
constexpr int kNothingDecoded = 1;
constexpr int kUsageError = 2;
constexpr int32_t kMaxChunk = 2048;
constexpr size_t kReadSize = 65536;

int Fail(const std::string& problem) {
  std::fprintf(stderr, "corvane-decode: %s (%.*s)\n", problem.c_str(),
               static_cast<int>(kUsage.size()), kUsage.data());
  return kUsageError;
}

// What the input is fed to: a position decoder or the RTCM 3 inventory.
class Reader {
 public:
  virtual ~Reader() = default;
  virtual void Feed(const uint8_t* bytes, int32_t count) = 0;
  virtual void Finish() {}
  // The JSON line when what it shows changed since the last call, else empty.
  virtual std::string TakeChange() = 0;
  virtual std::string Json() const = 0;
  // "<accepted> <units> accepted, <n> rejected (checksum <c>, length <l>)".
  virtual std::string Summary() const = 0;
  virtual bool DecodedAny() const = 0;
};

std::string Tally(uint64_t accepted, std::string_view units, uint64_t badChecksum,
                  uint64_t badLength) {
  return std::to_string(accepted) + " " + std::string(units) + " accepted, " +
         std::to_string(badChecksum + badLength) + " rejected (checksum " +
         std::to_string(badChecksum) + ", length " + std::to_string(badLength) + ")";
}

template <typename Decoder>
class PositionReader final : public Reader {
 public:
  explicit PositionReader(std::string_view units) : units_(units) {}
  void Feed(const uint8_t* bytes, int32_t count) override { decoder_.Decode(bytes, count); }
  std::string TakeChange() override {
    // The record changes only with an accepted sentence or packet; the JSON
    // is built only when it did change.
    if (decoder_.Counts().Accepted == lastAccepted_) return {};
    lastAccepted_ = decoder_.Counts().Accepted;
    const PositionFix now = fix_.Snapshot();
    if (now == last_) return {};
    last_ = now;
    std::string json = PositionFixToJson(now);
    if (json == lastJson_) return {};
    lastJson_ = json;
    return json;
  }
  std::string Json() const override { return PositionFixToJson(fix_.Snapshot()); }
  std::string Summary() const override {
    const DecodeCounts& counts = decoder_.Counts();
    return Tally(counts.Accepted, units_, counts.BadChecksum, counts.BadLength);
  }
  bool DecodedAny() const override { return decoder_.Counts().Accepted > 0; }

 private:
  std::string_view units_;
  SharedPositionFix fix_;
  Decoder decoder_{fix_, SteadyTime()};
  uint64_t lastAccepted_ = 0;
  PositionFix last_;
  std::string lastJson_ = PositionFixToJson(PositionFix{});
};

class InventoryReader final : public Reader {
 public:
  void Feed(const uint8_t* bytes, int32_t count) override {
    inventory_.Feed(bytes, static_cast<size_t>(count));
  }
  void Finish() override { inventory_.Finish(); }
  std::string TakeChange() override {
    const uint64_t seen = inventory_.Frames() + inventory_.BadCrc() + inventory_.TooShort();
    if (seen == lastSeen_) return {};
    lastSeen_ = seen;
    return Json();
  }
  std::string Json() const override { return InventoryToJson(inventory_); }
  std::string Summary() const override {
    return Tally(inventory_.Frames(), "frames", inventory_.BadCrc(), inventory_.TooShort()) + ", " +
           std::to_string(inventory_.SkippedBytes()) + " bytes skipped";
  }
  bool DecodedAny() const override { return inventory_.Frames() > 0; }

 private:
  rtcm3::Inventory inventory_;
  uint64_t lastSeen_ = 0;
};

std::unique_ptr<Reader> MakeReader(std::string_view format) {
  if (format == "nmea") return std::make_unique<PositionReader<NmeaDecoder>>("sentences");
  if (format == "gsof") return std::make_unique<PositionReader<GsofDecoder>>("packets");
  if (format == "rtcm3") return std::make_unique<InventoryReader>();
  return nullptr;
}

// Says on stderr when standard output failed; true when it did not.
bool OutputHolds(bool failed) {
  if (failed) {
    std::fprintf(stderr, "corvane-decode: cannot write to standard output: %s\n",
                 std::strerror(errno));
  }
  return !failed;
}

bool PrintLine(const std::string& json) {
  std::fwrite(json.data(), 1, json.size(), stdout);
  std::fputc('\n', stdout);
  return OutputHolds(std::ferror(stdout) != 0);
}

struct Options {
  std::string format;
  std::string path;
  int32_t chunk = kMaxChunk;
  bool each = false;
};

// Empty when the arguments are good, else what is wrong with them; `help`
// when they ask for the usage line.
std::string ParseOptions(int argc, char** argv, Options& options, bool& help) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return {};
    }
    std::string_view value;
    const size_t equals = arg.find('=');
    const bool takesValue =
        arg.substr(0, equals) == "--format" || arg.substr(0, equals) == "--chunk";
    if (takesValue && equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    } else if (takesValue) {
      if (i + 1 >= argc) return std::string(arg) + " needs a value";
      value = argv[++i];
    }
    if (arg == "--format") {
      if (value != "nmea" && value != "gsof" && value != "rtcm3")
        return "unknown format \"" + std::string(value) + "\"";
      options.format = value;
    } else if (arg == "--chunk") {
      const auto result = std::from_chars(value.data(), value.data() + value.size(), options.chunk);
      if (result.ec != std::errc() || result.ptr != value.data() + value.size() ||
          options.chunk < 1 || options.chunk > kMaxChunk) {
        return "--chunk needs a whole number from 1 to 2048, not \"" + std::string(value) + "\"";
      }
    } else if (arg == "--each") {
      options.each = true;
    } else if (arg.size() > 1 && arg.front() == '-') {
      return "unknown option \"" + std::string(arg) + "\"";
    } else if (!options.path.empty()) {
      return "only one FILE may be given";
    } else {
      options.path = arg;
    }
  }
  if (options.format.empty()) return "--format is required";
  if (options.path.empty()) return "FILE is required";
  return {};
}

int Main(int argc, char** argv) {
  Options options;
  bool help = false;
  const std::string problem = ParseOptions(argc, argv, options, help);
  if (help) {
    std::printf("%.*s\n", static_cast<int>(kUsage.size()), kUsage.data());
    return 0;
  }
  if (!problem.empty()) return Fail(problem);

  const bool standardInput = options.path == "-";
  const int fd = standardInput ? STDIN_FILENO : ::open(options.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail("cannot read " + options.path + ": " + std::strerror(errno));
  const std::unique_ptr<Reader> reader = MakeReader(options.format);

  // Whole chunks of the given size are cut from what each read brings; the
  // rest waits for the next read, so the chunking does not depend on how the
  // input arrives.
  auto buffer = std::make_unique<std::array<uint8_t, kReadSize>>();
  const auto chunk = static_cast<size_t>(options.chunk);
  size_t held = 0;
  uint64_t bytesRead = 0;
  bool writable = true;
  const auto feed = [&](const uint8_t* bytes, size_t count) {
    reader->Feed(bytes, static_cast<int32_t>(count));
    if (!options.each || !writable) return;
    const std::string change = reader->TakeChange();
    if (!change.empty()) writable = PrintLine(change);
  };
  for (;;) {
    const ssize_t n = ::read(fd, buffer->data() + held, buffer->size() - held);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      if (!standardInput) ::close(fd);
      return Fail("cannot read " + options.path + ": " + std::strerror(error));
    }
    if (n == 0) break;
    bytesRead += static_cast<uint64_t>(n);
    held += static_cast<size_t>(n);
    size_t done = 0;
    for (; held - done >= chunk; done += chunk) feed(buffer->data() + done, chunk);
    std::memmove(buffer->data(), buffer->data() + done, held - done);
    held -= done;
  }
  if (!standardInput) ::close(fd);
  if (held > 0) feed(buffer->data(), held);
  reader->Finish();

  if (!options.each && writable) writable = PrintLine(reader->Json());
  if (writable) writable = OutputHolds(std::fflush(stdout) != 0);
  std::fprintf(stderr, "corvane-decode: %llu bytes read, %s\n",
               static_cast<unsigned long long>(bytesRead), reader->Summary().c_str());
  return writable && reader->DecodedAny() ? 0 : kNothingDecoded;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  return corvane::Main(argc, argv);
}
