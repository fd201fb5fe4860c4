// corvane-gnss-sim: a GNSS receiver on a pseudo-terminal, for the demo and the
// end-to-end tests. It acts as a NovAtel-type (text commands, NMEA output) or
// Trimble-type (binary packets, GSOF output) receiver: position output once a
// second after the position-output commands, a correction capture replayed
// at its epoch rate after the base-station commands, and misbehaviour on
// request. It touches nothing on the host but its pseudo-terminal, its link
// and its command log.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "SimProtocol.h"
#include "platform/PseudoTerminal.h"

namespace {

using namespace corvane;
using namespace corvane::sim;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

constexpr const char* kUsage =
    "usage: corvane-gnss-sim [options]\n"
    "  --type novatel|trimble   receiver family (default novatel)\n"
    "  --link PATH              symbolic link to the port, e.g. <data folder>/dosdevices/com3\n"
    "  --lat DEG --lon DEG --height M   position (default the capture's base)\n"
    "  --quality Q              GGA fix quality of the position output (default 1)\n"
    "  --capture FILE           correction capture to loop (default by the commands)\n"
    "  --data-dir DIR           folder with rtcm3/ and rtcm2/ captures (default: installed\n"
    "                           share/corvane/captures, else the source tree's tests/data)\n"
    "  --rate BYTES             bytes per second for captures without RTCM 3 epochs (1000)\n"
    "  --no-fix SECONDS         no valid fix for the first SECONDS after start\n"
    "  --silent-after SECONDS   send nothing SECONDS after the corrections (re)started,\n"
    "                           until base-station commands start them again\n"
    "  --send-bytes N           send exactly N correction bytes, then nothing\n"
    "  --close-after SECONDS    close the port SECONDS after the corrections started\n"
    "  --acks                   answer each command (\"<OK\" lines / ACK byte)\n"
    "  --command-log FILE       every command received, one per line (text or hex)\n"
    "  --sent-log FILE          every correction byte sent, as sent\n"
    "Prints the pseudo-terminal's slave path when ready; runs until SIGINT or SIGTERM.\n";

// Installed, the captures stand in the share folder beside the program's
// bin folder; in a build tree, in the sources.
std::string DefaultDataDir() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path installed =
      program.parent_path().parent_path() / "share" / "corvane" / "captures";
  if (!ec && std::filesystem::is_directory(installed, ec)) return installed.string();
  return CORVANE_SIM_DATA_DIR;
}

struct Options {
  bool trimble = false;
  std::string link;
  SimFix fix{35.872988846, 138.389665470, 1003.8599, 1, 12};
  std::string capture;
  std::string dataDir = DefaultDataDir();
  double rate = 1000;
  double noFixSeconds = 0;
  std::optional<double> silentAfter;
  std::optional<long long> sendBytes;
  std::optional<double> closeAfter;
  bool acks = false;
  std::string commandLog;
  std::string sentLog;
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--acks") {
      o.acks = true;
      continue;
    }
    if (arg == "--help" || i + 1 >= argc) return false;
    const std::string value = argv[++i];
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    const bool numeric = end != value.c_str() && *end == '\0';
    if (arg == "--type" && (value == "novatel" || value == "trimble")) {
      o.trimble = value == "trimble";
    } else if (arg == "--link") {
      o.link = value;
    } else if (arg == "--capture") {
      o.capture = value;
    } else if (arg == "--data-dir") {
      o.dataDir = value;
    } else if (arg == "--command-log") {
      o.commandLog = value;
    } else if (arg == "--sent-log") {
      o.sentLog = value;
    } else if (!numeric) {
      return false;
    } else if (arg == "--lat") {
      o.fix.latitude = number;
    } else if (arg == "--lon") {
      o.fix.longitude = number;
    } else if (arg == "--height") {
      o.fix.height = number;
    } else if (arg == "--quality") {
      o.fix.quality = static_cast<int>(number);
    } else if (arg == "--rate" && number > 0) {
      o.rate = number;
    } else if (arg == "--no-fix") {
      o.noFixSeconds = number;
    } else if (arg == "--silent-after") {
      o.silentAfter = number;
    } else if (arg == "--send-bytes" && number >= 0) {
      o.sendBytes = static_cast<long long>(number);
    } else if (arg == "--close-after") {
      o.closeAfter = number;
    } else {
      return false;
    }
  }
  return true;
}

Bytes LoadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The correction stream: a capture cut into bursts, each sent at its time.
class CorrectionStream {
 public:
  bool Load(const std::filesystem::path& path, double rate) {
    const Bytes capture = LoadFile(path);
    if (capture.empty()) return false;
    bursts_ = SplitRtcm3Epochs(capture);
    period_ = milliseconds(1000);
    if (bursts_.empty()) {
      // No epochs to follow: slices of a tenth of a second at the given rate.
      const size_t slice = std::max<size_t>(1, static_cast<size_t>(rate / 10));
      for (size_t at = 0; at < capture.size(); at += slice) {
        bursts_.emplace_back(
            capture.begin() + static_cast<std::ptrdiff_t>(at),
            capture.begin() + static_cast<std::ptrdiff_t>(std::min(capture.size(), at + slice)));
      }
      period_ = milliseconds(100);
    }
    next_ = 0;
    return true;
  }
  const Bytes& Next() {
    const Bytes& burst = bursts_[next_];
    next_ = (next_ + 1) % bursts_.size();  // the capture loops
    return burst;
  }
  milliseconds Period() const { return period_; }

 private:
  std::vector<Bytes> bursts_;
  size_t next_ = 0;
  milliseconds period_{1000};
};

class Simulator {
 public:
  Simulator(const Options& options, PseudoTerminal& pty) : o_(options), pty_(pty) {
    if (!o_.commandLog.empty()) log_.open(o_.commandLog, std::ios::trunc);
    if (!o_.sentLog.empty()) sentLog_.open(o_.sentLog, std::ios::binary | std::ios::trunc);
  }

  int Run() {
    const auto start = Clock::now();
    auto nextTick = start + milliseconds(1000);
    uint8_t buffer[1024];
    while (g_stop == 0) {
      const auto now = Clock::now();
      auto wake = std::min(nextTick, streaming_ ? nextBurst_ : nextTick);
      const auto wait = std::chrono::duration_cast<milliseconds>(wake - now);
      const milliseconds slice = std::clamp(wait, milliseconds(0), milliseconds(50));
      if (portClosed_) {
        std::this_thread::sleep_for(milliseconds(50));
      } else {
        const int n = pty_.Read(buffer, sizeof buffer, slice);
        if (n > 0) Receive(buffer, static_cast<size_t>(n));
      }
      const auto after = Clock::now();
      if (after >= nextTick) {
        nextTick += milliseconds(1000);
        PositionOutput(after - start);
      }
      if (streaming_ && after >= nextBurst_) {
        nextBurst_ += stream_.Period();
        CorrectionOutput(after);
      }
    }
    return 0;
  }

 private:
  // Returns how many bytes went out.
  int Send(const Bytes& bytes) {
    if (portClosed_ || silent_ || bytes.empty()) return 0;
    // A line nobody reads drops what does not fit, as a UART would.
    return std::max(0, pty_.Write(bytes.data(), static_cast<int>(bytes.size()), milliseconds(0)));
  }
  void Send(const std::string& text) { Send(Bytes(text.begin(), text.end())); }

  void LogCommand(const Bytes& raw) {
    if (!log_.is_open()) return;
    log_ << CommandLogLine(raw) << '\n';
    log_.flush();
  }

  void Receive(const uint8_t* bytes, size_t count) {
    if (o_.trimble) {
      for (const PacketScanner::Packet& packet : scanner_.Feed(bytes, count)) {
        LogCommand(packet.raw);
        if (packet.type != 0x64) continue;
        for (const Command& command : ParseApplicationFile(packet.data)) Apply(command);
        if (o_.acks) Send(Bytes{0x06});
      }
      return;
    }
    for (const std::string& line : lines_.Feed(bytes, count)) {
      LogCommand(Bytes(line.begin(), line.end()));
      const Command command = ParseTextCommand(line);
      if (command.kind == Command::Kind::Unknown) {
        std::cerr << "corvane-gnss-sim: ignored command: "
                  << CommandLogLine(Bytes(line.begin(), line.end())) << "\n";
      }
      Apply(command);
      if (o_.acks) {
        Send(command.kind == Command::Kind::Unknown ? "<ERROR:Invalid Message ID\r\n[COM1]"
                                                    : "<OK\r\n[COM1]");
      }
    }
  }

  void Apply(const Command& command) {
    switch (command.kind) {
      case Command::Kind::UnlogAll:
        positionLogs_.clear();
        streaming_ = false;
        break;
      case Command::Kind::LogPosition:
        if (command.enable) {
          positionLogs_[command.what] = command.periodSeconds;
        } else {
          positionLogs_.erase(command.what);
        }
        break;
      case Command::Kind::LogCorrection:
        if (command.enable && !streaming_) StartCorrections(command.correction);
        if (!command.enable) streaming_ = false;
        break;
      default:
        break;
    }
  }

  void StartCorrections(Correction kind) {
    std::filesystem::path path = o_.capture;
    if (path.empty()) {
      path = std::filesystem::path(o_.dataDir) /
             (kind == Correction::Rtcm2 ? "rtcm2/testglo.rtcm2" : "rtcm3/testglo.rtcm3");
    }
    if (!stream_.Load(path, o_.rate)) {
      std::cerr << "corvane-gnss-sim: cannot read capture " << path << "\n";
      return;
    }
    streaming_ = true;
    silent_ = false;
    streamStart_ = Clock::now();
    nextBurst_ = streamStart_;
  }

  void PositionOutput(Clock::duration sinceStart) {
    if (positionLogs_.empty()) return;
    ++seconds_;
    SimFix fix = o_.fix;
    if (std::chrono::duration<double>(sinceStart).count() < o_.noFixSeconds) fix.quality = 0;
    const int64_t unixMillis = std::chrono::duration_cast<milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
    auto due = [&](const std::string& what) {
      auto it = positionLogs_.find(what);
      return it != positionLogs_.end() && seconds_ % it->second == 0;
    };
    if (o_.trimble) {
      uint16_t week = 0;
      uint32_t weekMillis = 0;
      GpsTime(unixMillis, week, weekMillis);
      Bytes records;
      auto add = [&](const Bytes& record) {
        records.insert(records.end(), record.begin(), record.end());
      };
      if (due("1")) add(GsofPositionTime(weekMillis - weekMillis % 1000, week, fix));
      if (due("2")) add(GsofLatLonHeight(fix));
      if (due("34")) add(GsofAllSatellites(fix));
      if (records.empty()) return;
      for (const Bytes& packet : GsofReport(transmission_++, records)) Send(packet);
      return;
    }
    const UtcTime time = UtcFromUnix(unixMillis / 1000);
    if (due("gpgga")) Send(BuildGga(fix, time));
    if (due("gprmc")) Send(BuildRmc(fix, time));
  }

  void CorrectionOutput(Clock::time_point now) {
    const double streamed = std::chrono::duration<double>(now - streamStart_).count();
    if (o_.closeAfter && streamed >= *o_.closeAfter && !portClosed_) {
      pty_.CloseMaster();  // the cable is pulled
      portClosed_ = true;
    }
    if (o_.silentAfter && streamed >= *o_.silentAfter) silent_ = true;
    Bytes burst = stream_.Next();
    if (o_.sendBytes) {
      const long long left = *o_.sendBytes - sent_;
      if (left <= 0) return;
      if (static_cast<long long>(burst.size()) > left) burst.resize(static_cast<size_t>(left));
    }
    if (portClosed_ || silent_) return;
    const int sent = Send(burst);
    sent_ += static_cast<long long>(burst.size());
    if (sentLog_.is_open()) {
      sentLog_.write(reinterpret_cast<const char*>(burst.data()), sent);
      sentLog_.flush();
    }
  }

  const Options& o_;
  PseudoTerminal& pty_;
  std::ofstream log_;
  std::ofstream sentLog_;
  LineSplitter lines_;
  PacketScanner scanner_;
  std::map<std::string, int> positionLogs_;  // output name -> period in seconds
  CorrectionStream stream_;
  bool streaming_ = false;
  Clock::time_point streamStart_;
  Clock::time_point nextBurst_;
  long long sent_ = 0;
  long long seconds_ = 0;
  uint8_t transmission_ = 0;
  bool silent_ = false;
  bool portClosed_ = false;
};

// Points the link at the slave; an existing link is replaced, anything else
// at that path is left alone.
bool PlaceLink(const std::filesystem::path& link, const std::string& target) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(link, ec);
  if (status.type() != std::filesystem::file_type::not_found) {
    if (status.type() != std::filesystem::file_type::symlink) return false;
    std::filesystem::remove(link, ec);
  }
  std::filesystem::create_directories(link.parent_path(), ec);
  std::filesystem::create_symlink(target, link, ec);
  return !ec;
}

void RemoveLink(const std::filesystem::path& link, const std::string& target) {
  std::error_code ec;
  if (std::filesystem::is_symlink(link, ec) && std::filesystem::read_symlink(link, ec) == target) {
    std::filesystem::remove(link, ec);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::cerr << kUsage;
    return 2;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  int error = 0;
  std::unique_ptr<PseudoTerminal> pty = PseudoTerminal::Create(&error);
  if (pty == nullptr) {
    std::cerr << "corvane-gnss-sim: no pseudo-terminal: " << std::strerror(error) << "\n";
    return 1;
  }
  if (!options.link.empty() && !PlaceLink(options.link, pty->SlavePath())) {
    std::cerr << "corvane-gnss-sim: cannot place the link " << options.link << "\n";
    return 1;
  }
  std::cout << pty->SlavePath() << std::endl;

  Simulator simulator(options, *pty);
  const int result = simulator.Run();
  if (!options.link.empty()) RemoveLink(options.link, pty->SlavePath());
  return result;
}
