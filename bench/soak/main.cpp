// The soak of a base station that relays for months. First the real
// application (`corvane --start`) relays a 115200-baud line rate through
// corvane-caster for MINUTES: whether the caster's bytes are exactly the ones
// written, and how resident memory, threads and descriptors go, minute by
// minute. Then Start/Stop cycles, each from Start to relaying and back, with
// threads and descriptors counted before and after. Pressing the button takes
// the application in this process, run as main runs it (RunApplication), on
// the offscreen platform.
//
// Usage: bench_soak [MINUTES] [--cycles N]   (defaults 60 and 100)
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/ui/Application.h"
#include "app/ui/CDlgMain.h"
#include "bench/rig/Child.h"
#include "bench/rig/Interrupt.h"
#include "bench/rig/ProcessProbe.h"
#include "bench/rig/PtyReceiver.h"
#include "bench/rig/Station.h"
#include "config/ui/DialogTemplate.h"
#include "fixtures/TempDir.h"

namespace corvane::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kStreamSeed = 60;
constexpr auto kSlice = 10ms;

// Leaves through the destructors, which stop what the soak started.
// Where the soak reports: the standard output as it was at the start, since
// the application that runs in this process for the cycles writes its
// console lines to the standard output too.
FILE* report = stdout;

[[noreturn]] void Fail(const std::string& why) {
  throw std::runtime_error(why);
}

std::string Names(const std::map<std::string, int>& threads) {
  std::string text;
  for (const auto& [name, count] : threads) {
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + name;
  }
  return text;
}

// The stream the receiver sends: the same bytes again from the same seed.
class StreamSource {
 public:
  std::string Next(size_t count) {
    std::string bytes(count, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random_());
    return bytes;
  }

 private:
  std::mt19937 random_{kStreamSeed};
};

// Compares the file with `count` bytes of the stream; the first offset at
// which they differ, or none.
std::optional<size_t> FirstDifference(const std::filesystem::path& file, size_t count) {
  std::ifstream in(file, std::ios::binary);
  StreamSource expected;
  std::string chunk(65536, '\0');
  for (size_t offset = 0; offset < count;) {
    const size_t length = std::min(chunk.size(), count - offset);
    in.read(chunk.data(), static_cast<std::streamsize>(length));
    const std::string want = expected.Next(length);
    const size_t got = static_cast<size_t>(in.gcount());
    const auto [mine, theirs] = std::mismatch(want.begin(), want.end(), chunk.begin(),
                                              chunk.begin() + static_cast<std::ptrdiff_t>(got));
    if (mine != want.end()) return offset + static_cast<size_t>(mine - want.begin());
    offset += length;
  }
  if (in.peek() != std::ifstream::traits_type::eof()) return count;  // more than was written
  return std::nullopt;
}

size_t FileSize(const std::filesystem::path& file) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  return ec ? 0 : static_cast<size_t>(size);
}

// A data folder in a folder of its own, whose COM port is a pseudo-terminal
// receiver and whose caster is a local corvane-caster (`name` its record).
struct Setup {
  explicit Setup(const std::string& name)
      : port(PtyReceiver::Create()), caster(StartLocalCaster(dir.path(), name, casterPort)) {
    if (port == nullptr || caster == nullptr ||
        !PrepareStation(home, port->SlavePath(), casterPort)) {
      Fail("could not set up the station");
    }
  }

  testing::TempDir dir;
  std::unique_ptr<PtyReceiver> port;
  uint16_t casterPort = 0;
  std::unique_ptr<Child> caster;
  std::filesystem::path home = dir.path() / "home";
};

void Relaying(int minutes) {
  const Setup setup("soak");
  const std::filesystem::path record = setup.dir.path() / "soak.bin";
  auto corvane = StartCorvane(setup.home, {});
  const auto deadline = Clock::now() + 120s;
  while (!setup.port->CorrectionsOn()) {
    if (Clock::now() > deadline) Fail("Corvane never sent the base-station commands");
    SleepFor(100ms);
  }

  StreamSource stream;
  size_t written = 0;
  size_t refused = 0;
  const auto write = [&](size_t count) {
    const std::string bytes = stream.Next(count);
    const int took = setup.port->Write(bytes.data(), static_cast<int>(count));
    written += count;
    refused += count - static_cast<size_t>(std::max(took, 0));
  };
  // A trickle first, which no wait of the relay's start overflows.
  while (FileSize(record) < written || written == 0) {
    if (Clock::now() > deadline) Fail("the relay did not start");
    write(100);
    SleepFor(100ms);
  }

  std::fprintf(report,
               "Soak: corvane --start relays %d bytes/s through corvane-caster for %d minutes\n",
               kLineRate, minutes);
  std::fprintf(report, "| minute | RSS kB | threads | descriptors | bytes at the caster |\n");
  std::fprintf(report, "|--------|--------|---------|-------------|---------------------|\n");
  UsageMeter meter(corvane->Pid());
  const ProcessSample first = meter.Last();
  const auto printRow = [&](int minute, const ProcessSample& s) {
    std::fprintf(report, "| %6d | %6ld | %7zu | %11d | %19zu |\n", minute, s.RssKb,
                 s.Threads.size(), s.Descriptors, FileSize(record));
    std::fflush(report);
  };
  printRow(0, first);
  ProcessSample last = first;
  long rssMax = first.RssKb;
  size_t threadsMin = first.Threads.size(), threadsMax = threadsMin;
  int fdsMin = first.Descriptors, fdsMax = fdsMin;
  size_t sent = 0;
  const auto start = Clock::now();
  for (int minute = 1; minute <= minutes; ++minute) {
    for (int slice = (minute - 1) * 6000; slice < minute * 6000; ++slice) {
      const size_t due = static_cast<size_t>(slice + 1) * kLineRate / 100;
      write(due - sent);
      sent = due;
      // Once a second, so that threads which come and go are counted.
      if (slice % 100 == 99) meter.Sample();
      SleepUntil(start + kSlice * (slice + 1));
    }
    last = SampleProcess(corvane->Pid());
    if (!last.Valid) Fail("Corvane ended during the soak");
    printRow(minute, last);
    rssMax = std::max(rssMax, last.RssKb);
    threadsMin = std::min(threadsMin, last.Threads.size());
    threadsMax = std::max(threadsMax, last.Threads.size());
    fdsMin = std::min(fdsMin, last.Descriptors);
    fdsMax = std::max(fdsMax, last.Descriptors);
  }
  for (size_t size = 0; size != FileSize(record);) {
    size = FileSize(record);
    SleepFor(1s);
  }
  const ProcessUsage usage = meter.Usage();
  const std::optional<size_t> difference = FirstDifference(record, written);
  std::fprintf(report, "Bytes: %zu written, %zu at the caster: %s", written, FileSize(record),
               difference ? "NOT exact" : "exact");
  if (difference) std::fprintf(report, " (first difference at byte %zu)", *difference);
  if (refused > 0) std::fprintf(report, " (the port refused %zu bytes)", refused);
  std::fprintf(report,
               "\nRSS: %ld kB at the start, %ld kB at the end (growth %+ld kB), at most %ld kB\n",
               first.RssKb, last.RssKb, last.RssKb - first.RssKb, rssMax);
  std::fprintf(report, "Threads: %zu to %zu (%s); descriptors: %d to %d\n", threadsMin, threadsMax,
               Names(ThreadsByName(corvane->Pid())).c_str(), fdsMin, fdsMax);
  std::fprintf(report, "Cost: %.2f ms of processor time and %.1f wake-ups per second\n\n",
               1000 * usage.CpuSeconds / usage.Seconds, usage.WakeupsPerSecond);
  const int status = corvane->Stop();
  if (status != 0) std::fprintf(report, "corvane ended with status %d on SIGTERM\n", status);
}

// Drives the window of the application running in this process: Start, wait
// for the relay, Stop, let its threads end, count; again.
class CycleDriver {
 public:
  CycleDriver(int cycles, std::filesystem::path log) : cycles_(cycles), log_(std::move(log)) {
    timer_.setInterval(200);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Step(); });
    timer_.start();
  }

  bool Completed() const { return completed_; }

 private:
  enum class State { Settling, Starting, Relaying, Stopping };

  static CDlgMain* Window() {
    for (QWidget* window : QApplication::topLevelWidgets())
      if (auto* main = qobject_cast<CDlgMain*>(window)) return main;
    return nullptr;
  }
  static void Press() {
    if (CDlgMain* window = Window()) FindControl<QPushButton>(window, kIdcStartStop)->click();
  }
  size_t RelaysStarted() const {
    const std::string log = ReadWholeFile(log_);
    size_t count = 0;
    for (size_t at = log.find(kRelayStarted); at != std::string::npos;
         at = log.find(kRelayStarted, at + 1)) {
      ++count;
    }
    return count;
  }
  void Count() {
    const ProcessSample sample = SampleProcess(::getpid());
    threadsMin_ = std::min(threadsMin_, sample.Threads.size());
    threadsMax_ = std::max(threadsMax_, sample.Threads.size());
    fdsMin_ = std::min(fdsMin_, sample.Descriptors);
    fdsMax_ = std::max(fdsMax_, sample.Descriptors);
  }
  void Report(const char* when) {
    const ProcessSample sample = SampleProcess(::getpid());
    std::fprintf(report, "  %s: %zu threads (%s), %d descriptors\n", when, sample.Threads.size(),
                 Names(ThreadsByName(::getpid())).c_str(), sample.Descriptors);
    const std::multiset<std::string> descriptors = DescriptorTargets(::getpid());
    if (!descriptorsBefore_.empty()) {
      std::vector<std::string> opened, closed;
      std::set_difference(descriptors.begin(), descriptors.end(), descriptorsBefore_.begin(),
                          descriptorsBefore_.end(), std::back_inserter(opened));
      std::set_difference(descriptorsBefore_.begin(), descriptorsBefore_.end(), descriptors.begin(),
                          descriptors.end(), std::back_inserter(closed));
      for (const std::string& target : opened) std::fprintf(report, "    + %s\n", target.c_str());
      for (const std::string& target : closed) std::fprintf(report, "    - %s\n", target.c_str());
    }
    descriptorsBefore_ = descriptors;
    std::fflush(report);
  }

  void Step() {
    const auto now = Clock::now();
    switch (state_) {
      case State::Settling:
        if (Window() == nullptr || now - since_ < 5s) return;
        std::fprintf(report,
                     "Start/Stop cycles, %d, each from Start to 2 s of relaying, then Stop:\n",
                     cycles_);
        Report("before");
        Next(State::Starting);
        Press();
        return;
      case State::Starting:
        if (RelaysStarted() == static_cast<size_t>(cycle_ + 1)) Next(State::Relaying);
        if (now - since_ > 60s) End("the relay did not start within 60 s");
        return;
      case State::Relaying:
        if (now - since_ < 2s) return;
        Next(State::Stopping);
        Press();
        return;
      case State::Stopping:
        if (now - since_ < 2s) return;
        Count();
        if (++cycle_ < cycles_) {
          Next(State::Starting);
          Press();
          return;
        }
        Report("after");
        std::fprintf(report,
                     "  across the cycles, 2 s after each Stop: %zu to %zu threads, %d to %d "
                     "descriptors\n",
                     threadsMin_, threadsMax_, fdsMin_, fdsMax_);
        completed_ = true;
        End(nullptr);
        return;
    }
  }
  void Next(State state) {
    state_ = state;
    since_ = Clock::now();
  }
  void End(const char* failure) {
    if (failure != nullptr) std::fprintf(report, "  cycle %d: %s\n", cycle_ + 1, failure);
    timer_.stop();
    if (CDlgMain* window = Window()) window->EndApplication();
  }

  static constexpr std::string_view kRelayStarted = "Start Ntrip Server thread!";
  const int cycles_;
  const std::filesystem::path log_;
  QTimer timer_;
  State state_ = State::Settling;
  Clock::time_point since_ = Clock::now();
  int cycle_ = 0;
  size_t threadsMin_ = SIZE_MAX, threadsMax_ = 0;
  int fdsMin_ = INT32_MAX, fdsMax_ = 0;
  std::multiset<std::string> descriptorsBefore_;
  bool completed_ = false;
};

// A receiver that sends a burst of corrections once a second while they are
// on, from a thread of its own.
void StreamWhileOn(PtyReceiver& port, const std::atomic<bool>& stop) {
  pthread_setname_np(pthread_self(), "soak-stream");
  StreamSource stream;
  while (!stop) {
    if (port.CorrectionsOn()) {
      const std::string burst = stream.Next(300);
      port.Write(burst.data(), static_cast<int>(burst.size()));
    }
    std::this_thread::sleep_for(1s);
  }
}

void StartStopCycles(int argc, char** argv, int cycles) {
  const Setup setup("cycles");
  ::setenv("CORVANE_HOME", setup.home.c_str(), 1);
  ::setenv("CORVANE_SET_CLOCK", "0", 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Qt's runtime folder too, or it makes one of its own under /tmp that stays.
  const std::filesystem::path runtime = setup.dir.path() / "runtime";
  std::filesystem::create_directory(runtime);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  // The application's console lines go to a file beside its log.
  std::fflush(stdout);
  const int console =
      ::open((setup.home / "console.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (console < 0 || ::dup2(console, STDOUT_FILENO) < 0) Fail("no file for the console lines");
  ::close(console);
  QApplication application(argc, argv);
  std::atomic<bool> stop{false};
  std::thread streamer([&] { StreamWhileOn(*setup.port, stop); });
  bool completed = false;
  {
    CycleDriver driver(cycles, setup.home / "log.txt");
    RunApplication(application, {});
    completed = driver.Completed();
  }
  stop = true;
  streamer.join();
  // A signal ends the application's window as it ends the operator's.
  if (!completed) Fail("the Start/Stop cycles did not complete");
}

}  // namespace
}  // namespace corvane::bench

int main(int argc, char** argv) {
  using namespace corvane::bench;
  int minutes = 60;
  int cycles = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--cycles" && i + 1 < argc) {
      cycles = std::atoi(argv[++i]);
    } else if (std::atoi(argv[i]) > 0) {
      minutes = std::atoi(argv[i]);
    } else {
      std::fprintf(stderr, "usage: bench_soak [MINUTES] [--cycles N]\n");
      return 2;
    }
  }
  report = ::fdopen(::dup(STDOUT_FILENO), "w");
  if (report == nullptr) return 1;
  CatchInterrupts();
  try {
    Relaying(minutes);
    // Qt takes its own options from argv: give it the program's name only.
    StartStopCycles(1, argv, cycles);
  } catch (const Interrupted&) {
    std::fprintf(stderr, "bench_soak: interrupted\n");
    return 130;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "bench_soak: %s\n", failure.what());
    return 1;
  }
  return 0;
}
