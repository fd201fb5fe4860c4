// Corvane against RTKLIB's str2str, side by side in one run: each relays the
// same receiver stream, written at the same moments into its own
// pseudo-terminal, to its own corvane-caster, from which an NTRIP client
// pulls it back. Corvane is the real application (`corvane --start`) and
// goes through its position phase first, answered on its pseudo-terminal as a
// NovAtel-type receiver would; str2str reads its pseudo-terminal as a serial
// port (`-in serial://... -out ntrips://...`).
//
// Two stream shapes: the full 115200-baud line rate, continuous (10 ms
// slices), and a real receiver's pattern (an RTCM 3 capture, one burst per
// epoch, once a second). For each relay and shape: bytes lost and reordered
// against what was written, the latency added (write into the
// pseudo-terminal to arrival at the client), processor time per MB relayed,
// wake-ups per second (voluntary context switches of every thread) and
// resident memory.
//
// Then back-pressure: a caster that reads 10,000 bytes a second of the
// 11,520 that come, where each relay loses and, for Corvane, the proof that
// the loss is the relay buffer's overflow rule and nothing else. Last, what
// Corvane costs at rest and while waiting for a position.
//
// Usage: bench_relay_vs_str2str [--seconds N]          (each shape, default 45)
//                               [--pressure-seconds N] (back-pressure, default 180)
//                               [--cost-seconds N]     (each state at rest, default 30)
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SimProtocol.h"
#include "bench/relay_vs_str2str/OverflowReplay.h"
#include "bench/rig/Child.h"
#include "bench/rig/Interrupt.h"
#include "bench/rig/Ntrip.h"
#include "bench/rig/ProcessProbe.h"
#include "bench/rig/PtyReceiver.h"
#include "bench/rig/Station.h"
#include "bench/rig/StreamMatch.h"
#include "fixtures/TempDir.h"
#include "uplink/RelayBuffer.h"

namespace corvane::bench {
namespace {

constexpr auto kSlice = 10ms;
constexpr int kSlowCasterRate = 10000;
// Often enough that a thread which ends takes little uncounted with it.
constexpr auto kSamplePeriod = 500ms;

struct Options {
  int Seconds = 45;
  // Long enough to fill the kernel's socket buffers, which take the excess
  // first, and then to lose for a while.
  int PressureSeconds = 180;
  int CostSeconds = 30;
};

// One relay under test, from the pseudo-terminal it reads to the client that
// pulls its stream back.
struct Lane {
  explicit Lane(std::string name) : Name(std::move(name)) {}
  // The relay first, so that it never sees its caster or its port go.
  ~Lane() {
    if (Relay) Relay->Stop();
    if (Caster) Caster->Stop();
  }
  Lane(const Lane&) = delete;
  Lane& operator=(const Lane&) = delete;

  std::string Name;
  std::unique_ptr<PtyReceiver> Port;
  std::unique_ptr<Child> Caster;
  std::unique_ptr<SlowCaster> Slow;
  NtripTap Tap;
  std::unique_ptr<Child> Relay;
  std::string Written;   // every byte the receiver sent since the stream began
  std::string Accepted;  // what of it the port took: the relay fell behind on the rest
  // Per write: one past its last byte in Written, and when the write began.
  std::vector<std::pair<size_t, Clock::time_point>> Writes;

  const ArrivalRecord& Arrivals() const { return Slow ? Slow->Record() : Tap.Record(); }
};

using Lanes = std::vector<Lane*>;

// Leaves through the destructors, which stop what the bench started.
[[noreturn]] void Fail(const std::string& why) {
  throw std::runtime_error(why);
}

void WriteAll(const Lanes& lanes, std::string_view bytes) {
  for (Lane* lane : lanes) {
    const auto at = Clock::now();
    const int took = lane->Port->Write(bytes.data(), static_cast<int>(bytes.size()));
    lane->Written.append(bytes);
    lane->Accepted.append(bytes.substr(0, static_cast<size_t>(took)));
    lane->Writes.emplace_back(lane->Written.size(), at);
  }
}

std::string RandomBytes(std::mt19937& random, size_t count) {
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

bool Waited(const std::function<bool()>& condition, Clock::duration within) {
  const auto deadline = Clock::now() + within;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    SleepFor(50ms);
  }
  return true;
}

// Waits until no lane has received anything new for `still`, at most `within`.
void AwaitQuiet(const Lanes& lanes, Clock::duration still, Clock::duration within) {
  const auto deadline = Clock::now() + within;
  std::vector<size_t> sizes(lanes.size(), SIZE_MAX);
  auto changed = Clock::now();
  while (Clock::now() - changed < still && Clock::now() < deadline) {
    SleepFor(50ms);
    for (size_t i = 0; i < lanes.size(); ++i) {
      const size_t size = lanes[i]->Arrivals().Size();
      if (size != sizes[i]) changed = Clock::now();
      sizes[i] = size;
    }
  }
}

// The lane's receiver port, and its caster: corvane-caster, or a slow one.
void OpenLane(Lane& lane, const std::filesystem::path& dir, bool slow, int fixQuality,
              uint16_t& casterPort) {
  lane.Port = PtyReceiver::Create(fixQuality);
  if (lane.Port == nullptr) Fail("no pseudo-terminal");
  if (slow) {
    lane.Slow = std::make_unique<SlowCaster>(std::string(kBenchPassword), std::string(kBenchMount),
                                             kSlowCasterRate);
    casterPort = lane.Slow->Port();
    if (casterPort == 0) Fail("the slow caster could not listen");
    return;
  }
  lane.Caster = StartLocalCaster(dir, lane.Name, casterPort);
  if (lane.Caster == nullptr) Fail("corvane-caster did not start");
  if (!lane.Tap.Connect(casterPort, kBenchMount)) Fail("the NTRIP client could not connect");
}

void StartCorvaneLane(Lane& lane, const std::filesystem::path& dir, bool slow,
                      const CorvaneRun& run, int fixQuality = 1) {
  uint16_t port = 0;
  OpenLane(lane, dir, slow, fixQuality, port);
  const std::filesystem::path home = dir / "corvane-home";
  if (!PrepareStation(home, lane.Port->SlavePath(), port)) Fail("no data folder for Corvane");
  lane.Relay = StartCorvane(home, run);
}

void StartStr2strLane(Lane& lane, const std::filesystem::path& dir, bool slow) {
  uint16_t port = 0;
  OpenLane(lane, dir, slow, 1, port);
  static const std::filesystem::path str2str = FindOnPath("str2str");
  // str2str opens serial://NAME as /dev/NAME.
  const std::string device = lane.Port->SlavePath().substr(std::strlen("/dev/"));
  lane.Relay = std::make_unique<Child>(
      std::vector<std::string>{
          str2str.string(), "-in", "serial://" + device + ":115200:8:n:1:off", "-out",
          "ntrips://:" + std::string(kBenchPassword) + "@127.0.0.1:" + std::to_string(port) + "/" +
              std::string(kBenchMount)},
      std::vector<std::string>{}, dir / (lane.Name + ".out"));
}

// Brings both relays to relaying: once Corvane asks for corrections, a
// trickle that no start-up wait overflows, until both clients have it all.
void WarmUp(Lane& corvane, const Lanes& lanes, std::mt19937& random) {
  if (!Waited([&] { return corvane.Port->CorrectionsOn(); }, 120s)) {
    Fail("Corvane never sent the base-station commands; see " + corvane.Relay->Output().string());
  }
  const auto allThere = [&] {
    return std::all_of(lanes.begin(), lanes.end(), [](Lane* lane) {
      return lane->Arrivals().Size() >= lane->Written.size() && !lane->Written.empty();
    });
  };
  const auto deadline = Clock::now() + 60s;
  while (!allThere()) {
    if (Clock::now() > deadline) Fail("the relays did not start relaying within 60 s");
    WriteAll(lanes, RandomBytes(random, 100));
    SleepFor(100ms);
  }
  AwaitQuiet(lanes, 1s, 10s);
}

struct Figures {
  StreamMatch Match;
  size_t Bytes = 0;
  double P50 = 0, P99 = 0, Max = 0;  // milliseconds
  ProcessUsage Usage;
  long RssKb = 0;
  size_t Threads = 0;
};

double Percentile(const std::vector<double>& sorted, double p) {
  return sorted.empty() ? 0.0
                        : sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
}

// The stream of one phase against what arrived of it, and each write's
// latency to its last byte's arrival.
Figures Measure(const Lane& lane, size_t writtenFrom, size_t writeIndexFrom, size_t receivedFrom) {
  Figures f;
  const std::string_view written = std::string_view(lane.Written).substr(writtenFrom);
  const std::string received = lane.Arrivals().Bytes(receivedFrom, SIZE_MAX);
  f.Bytes = written.size();
  f.Match = MatchStreams(written, received);
  std::vector<double> latencies;
  for (size_t i = writeIndexFrom; i < lane.Writes.size(); ++i) {
    const auto [end, at] = lane.Writes[i];
    const std::optional<size_t> offset = f.Match.ReceivedOffsetOf(end - 1 - writtenFrom);
    if (!offset) continue;
    const auto arrived = lane.Arrivals().ArrivalOf(receivedFrom + *offset);
    if (arrived == Clock::time_point::max()) continue;
    latencies.push_back(std::chrono::duration<double, std::milli>(arrived - at).count());
  }
  std::sort(latencies.begin(), latencies.end());
  f.P50 = Percentile(latencies, 0.50);
  f.P99 = Percentile(latencies, 0.99);
  f.Max = latencies.empty() ? 0 : latencies.back();
  return f;
}

// Runs one shape of stream into every lane for `seconds` and measures it.
std::vector<Figures> RunShape(const Lanes& lanes, int seconds,
                              const std::function<void(int step)>& writeStep,
                              Clock::duration period) {
  std::vector<size_t> writtenFrom, writesFrom, receivedFrom;
  std::vector<UsageMeter> meters;
  for (Lane* lane : lanes) {
    writtenFrom.push_back(lane->Written.size());
    writesFrom.push_back(lane->Writes.size());
    receivedFrom.push_back(lane->Arrivals().Size());
    meters.emplace_back(lane->Relay->Pid());
  }
  const auto start = Clock::now();
  auto nextSample = start + kSamplePeriod;
  const int steps = static_cast<int>(std::chrono::seconds(seconds) / period);
  for (int step = 0; step < steps; ++step) {
    writeStep(step);
    if (Clock::now() >= nextSample) {
      for (UsageMeter& meter : meters) meter.Sample();
      nextSample += kSamplePeriod;
    }
    SleepUntil(start + period * (step + 1));
  }
  AwaitQuiet(lanes, 1s, 30s);
  std::vector<Figures> figures;
  for (size_t i = 0; i < lanes.size(); ++i) {
    meters[i].Sample();
    Figures f = Measure(*lanes[i], writtenFrom[i], writesFrom[i], receivedFrom[i]);
    f.Usage = meters[i].Usage();
    f.RssKb = meters[i].Last().RssKb;
    f.Threads = meters[i].Last().Threads.size();
    figures.push_back(std::move(f));
  }
  return figures;
}

// The line rate: every 10 ms the bytes a 115200-baud line carries by then.
std::function<void(int)> LineRateWriter(const Lanes& lanes, std::mt19937& random) {
  return [&lanes, &random, sent = size_t{0}](int step) mutable {
    const size_t due = static_cast<size_t>(step + 1) * kLineRate / 100;
    WriteAll(lanes, RandomBytes(random, due - sent));
    sent = due;
  };
}

std::vector<std::string> CaptureEpochs() {
  const std::string capture =
      ReadWholeFile(std::filesystem::path(CORVANE_SOURCE_DIR) / "tests/data/rtcm3/testglo.rtcm3");
  std::vector<std::string> epochs;
  for (const sim::Bytes& epoch :
       sim::SplitRtcm3Epochs(sim::Bytes(capture.begin(), capture.end()))) {
    epochs.emplace_back(epoch.begin(), epoch.end());
  }
  if (epochs.empty()) Fail("no RTCM 3 epochs in tests/data/rtcm3/testglo.rtcm3");
  return epochs;
}

std::string Megabytes(long kb) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(kb) / 1024.0);
  return text;
}

void PrintRow(const std::string& shape, const std::string& relay, const Figures& f) {
  const double mb = static_cast<double>(f.Bytes) / 1e6;
  std::printf("| %-18s | %-7s | %7zu | %9zu | %5.0f | %5.0f | %5.0f | %8.3f | %8.1f | %6s |%s\n",
              shape.c_str(), relay.c_str(), f.Match.Lost, f.Match.Reordered, f.P50, f.P99, f.Max,
              mb > 0 ? f.Usage.CpuSeconds / mb : 0.0, f.Usage.WakeupsPerSecond,
              Megabytes(f.RssKb).c_str(),
              f.Usage.SameThreads ? "" : " (a thread came or went while measured)");
  if (f.Match.Foreign > 0)
    std::printf("  (%zu bytes arrived that were never written)\n", f.Match.Foreign);
}

void PrintHeader(const Options& options) {
  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::string model;
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; model.empty() && std::getline(cpuinfo, line);) {
    if (line.starts_with("model name")) model = line.substr(line.find(':') + 2);
  }
  utsname host{};
  ::uname(&host);
  double load[3] = {};
  ::getloadavg(load, 3);
  std::printf("Corvane vs str2str, %s; %s, %ld processors, Linux %s; load %.2f %.2f %.2f\n", date,
              model.c_str(), ::sysconf(_SC_NPROCESSORS_ONLN), host.release, load[0], load[1],
              load[2]);
  std::printf("Each shape runs %d s into both relays at once; MB = 10^6 bytes.\n\n",
              options.Seconds);
}

void SideBySide(const Options& options, std::mt19937& random, Figures& corvaneAtOneHertz) {
  testing::TempDir dir;
  Lane corvane("corvane"), str2str("str2str");
  StartStr2strLane(str2str, dir.path(), false);
  StartCorvaneLane(corvane, dir.path(), false, {});
  const Lanes lanes = {&corvane, &str2str};
  WarmUp(corvane, lanes, random);

  const std::vector<Figures> lineRate =
      RunShape(lanes, options.Seconds, LineRateWriter(lanes, random), kSlice);
  const std::vector<std::string> epochs = CaptureEpochs();
  const std::vector<Figures> oneHertz = RunShape(
      lanes, options.Seconds,
      [&](int step) { WriteAll(lanes, epochs[static_cast<size_t>(step) % epochs.size()]); }, 1s);
  corvaneAtOneHertz = oneHertz[0];

  std::printf(
      "| shape              | relay   |    lost | reordered | p50ms | p99ms | maxms | CPU s/MB | "
      "wakeup/s | RSS MB |\n");
  std::printf(
      "|--------------------|---------|---------|-----------|-------|-------|-------|----------|"
      "----------|--------|\n");
  for (size_t i = 0; i < lanes.size(); ++i) {
    PrintRow("115200 line rate", lanes[i]->Name, lineRate[i]);
  }
  for (size_t i = 0; i < lanes.size(); ++i) {
    PrintRow("1 Hz RTCM 3 epochs", lanes[i]->Name, oneHertz[i]);
  }
  size_t largest = 0;
  for (const std::string& epoch : epochs) largest = std::max(largest, epoch.size());
  std::printf("(1 Hz: %zu epochs of up to %zu bytes from testglo.rtcm3, looped)\n\n", epochs.size(),
              largest);
}

// The lost pieces of a stream: how many, and their sizes.
std::string LostPieces(const StreamMatch& match, size_t written) {
  std::vector<MatchedRun> runs = match.Runs;
  std::sort(runs.begin(), runs.end(),
            [](const MatchedRun& a, const MatchedRun& b) { return a.Written < b.Written; });
  std::vector<size_t> gaps;
  size_t end = 0;
  for (const MatchedRun& run : runs) {
    if (run.Written > end) gaps.push_back(run.Written - end);
    end = std::max(end, run.Written + run.Length);
  }
  if (written > end) gaps.push_back(written - end);
  if (gaps.empty()) return "none";
  std::sort(gaps.begin(), gaps.end());
  char text[128];
  std::snprintf(text, sizeof text, "%zu pieces of %zu to %zu bytes (median %zu)", gaps.size(),
                gaps.front(), gaps.back(), gaps[gaps.size() / 2]);
  return text;
}

void BackPressure(const Options& options, std::mt19937& random) {
  testing::TempDir dir;
  Lane corvane("corvane"), str2str("str2str");
  StartStr2strLane(str2str, dir.path(), true);
  StartCorvaneLane(corvane, dir.path(), true, {.Start = true, .Trace = true});
  const Lanes lanes = {&corvane, &str2str};
  WarmUp(corvane, lanes, random);
  const std::vector<Figures> figures =
      RunShape(lanes, options.PressureSeconds, LineRateWriter(lanes, random), kSlice);
  AwaitQuiet(lanes, 2s, 120s);

  std::printf("Back-pressure: the caster reads %d bytes/s of the %d written, for %d s\n",
              kSlowCasterRate, kLineRate, options.PressureSeconds);
  for (const Lane* lane : lanes) {
    // Over the whole stream, as the replay is.
    const StreamMatch match = MatchStreams(lane->Written, lane->Arrivals().Bytes(0, SIZE_MAX));
    const size_t refused = lane->Written.size() - lane->Accepted.size();
    std::printf(
        "  %-7s lost %zu of %zu bytes (%zu at the serial port, which it did not read in "
        "time; %zu after it), reordered %zu\n          lost as %s\n",
        lane->Name.c_str(), match.Lost, lane->Written.size(), refused,
        match.Lost - std::min(match.Lost, refused), match.Reordered,
        LostPieces(match, lane->Written.size()).c_str());
  }
  for (size_t i = 0; i < lanes.size(); ++i) {
    std::printf("  %-7s latency p50 %.0f ms, max %.0f ms\n", lanes[i]->Name.c_str(), figures[i].P50,
                figures[i].Max);
  }
  const OverflowReplay replay = ReplayOverflowRule(
      ParseRelayTrace(ReadWholeFile(corvane.Relay->Output())), RelayBuffer::kCapacity);
  std::string predicted;
  for (const auto& [from, length] : replay.Sent) predicted.append(corvane.Accepted, from, length);
  const std::string arrived = corvane.Arrivals().Bytes(0, SIZE_MAX);
  std::printf(
      "  Corvane's trace: %zu bytes read, %zu sends; the overflow rule drops %zu bytes in %zu "
      "drops (%d adjacent trace lines put back in order)\n",
      replay.Read, replay.Sent.size(), replay.Dropped, replay.Drops, replay.Swapped);
  if (replay.Read != corvane.Accepted.size()) {
    std::printf("  NOT PROVEN: the relay read %zu bytes, the port took %zu\n", replay.Read,
                corvane.Accepted.size());
  } else if (!replay.Consistent) {
    std::printf("  NOT PROVEN: a send took other than what the rule left waiting\n");
  } else if (predicted != arrived) {
    std::printf("  NOT PROVEN: the rule predicts %zu bytes at the caster, %zu differ\n",
                predicted.size(), MatchStreams(predicted, arrived).Lost);
  } else {
    std::printf(
        "  PROVEN: the rule predicts the caster's %zu bytes byte for byte; every lost byte is "
        "one it dropped\n",
        arrived.size());
  }
  std::printf("\n");
}

// Corvane with no relay: the window alone, and waiting for a position that
// never becomes valid.
void CostAtRest(const Options& options, const Figures& oneHertz) {
  std::printf("Corvane's cost over %d s:\n", options.CostSeconds);
  std::printf("| state                      | CPU ms/s | wakeup/s | threads | RSS MB |\n");
  std::printf("|----------------------------|----------|----------|---------|--------|\n");
  for (const bool start : {false, true}) {
    testing::TempDir dir;
    Lane corvane("corvane");
    // Quality 0: the receiver answers, but its position never becomes valid.
    StartCorvaneLane(corvane, dir.path(), false, {.Start = start}, 0);
    const std::filesystem::path log = dir.path() / "corvane-home" / "log.txt";
    const std::string_view mark = start ? "Invalid Position,please wait.." : "System Init.";
    if (!Waited([&] { return ReadWholeFile(log).find(mark) != std::string::npos; }, 30s)) {
      Fail("Corvane did not reach \"" + std::string(mark) + "\"");
    }
    SleepFor(2s);
    UsageMeter meter(corvane.Relay->Pid());
    const auto end = Clock::now() + std::chrono::seconds(options.CostSeconds);
    while (Clock::now() < end) {
      SleepFor(kSamplePeriod);
      meter.Sample();
    }
    const ProcessUsage usage = meter.Usage();
    std::printf("| %-26s | %8.2f | %8.1f | %7zu | %6s |\n",
                start ? "waiting for a position" : "idle (window, no Start)",
                1000 * usage.CpuSeconds / usage.Seconds, usage.WakeupsPerSecond,
                meter.Last().Threads.size(), Megabytes(meter.Last().RssKb).c_str());
  }
  std::printf("| %-26s | %8.2f | %8.1f | %7zu | %6s |\n", "relaying a 1 Hz stream",
              1000 * oneHertz.Usage.CpuSeconds / oneHertz.Usage.Seconds,
              oneHertz.Usage.WakeupsPerSecond, oneHertz.Threads, Megabytes(oneHertz.RssKb).c_str());
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    const int value = i + 1 < argc ? std::atoi(argv[i + 1]) : 0;
    if (name == "--seconds" && value > 0) {
      options.Seconds = value;
    } else if (name == "--pressure-seconds" && value > 0) {
      options.PressureSeconds = value;
    } else if (name == "--cost-seconds" && value > 0) {
      options.CostSeconds = value;
    } else {
      std::fprintf(stderr,
                   "usage: bench_relay_vs_str2str [--seconds N] [--pressure-seconds N] "
                   "[--cost-seconds N]\n");
      std::exit(2);
    }
    ++i;
  }
  return options;
}

}  // namespace
}  // namespace corvane::bench

int main(int argc, char** argv) {
  using namespace corvane::bench;
  const Options options = ParseOptions(argc, argv);
  CatchInterrupts();
  // Each part's table shows as soon as it is measured.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    if (FindOnPath("str2str").empty()) Fail("str2str is not on PATH (Debian package rtklib)");
    std::mt19937 random(14);
    PrintHeader(options);
    Figures oneHertz;
    SideBySide(options, random, oneHertz);
    BackPressure(options, random);
    CostAtRest(options, oneHertz);
  } catch (const Interrupted&) {
    std::fprintf(stderr, "bench_relay_vs_str2str: interrupted\n");
    return 130;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "bench_relay_vs_str2str: %s\n", failure.what());
    return 1;
  }
  return 0;
}
