// The relay over real parts for a minute: a pseudo-terminal written at the
// byte rate of a 115200-baud line, the relay port and both relay threads, and
// corvane-caster on loopback, with an NTRIP client pulling the stream back to
// time it. Reports the latency the relay adds (write into the pseudo-terminal
// to arrival at the client, per 10 ms slice) and the CPU time used, and fails
// when the caster's file differs from what was written.
//
// CORVANE_RELAY_SECONDS sets the duration (default 60).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/Settings.h"
#include "fixtures/Doubles.h"
#include "fixtures/TempDir.h"
#include "platform/PseudoTerminal.h"
#include "receiver/RelayPort.h"
#include "uplink/CasterHandshake.h"
#include "uplink/Relay.h"
#include "uplink/UplinkRig.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSliceBytes = 115;  // 11.5 KB/s in 10 ms slices
constexpr auto kSlicePeriod = std::chrono::milliseconds(10);

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User plus system time of another process, from /proc/<pid>/stat.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field && index <= 15; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// An NTRIP 1.0 client that stamps every arrival with its stream offset.
class TimingClient {
 public:
  bool Connect(int port, const std::string& mount) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = testing::Loopback(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    const std::string request = "GET /" + mount + " HTTP/1.0\r\nUser-Agent: NTRIP bench\r\n\r\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) < 0) return false;
    thread_ = std::thread([this] { Receive(); });
    return true;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  // When the byte at `offset` (0-based) arrived.
  Clock::time_point ArrivalOf(size_t offset) const {
    const auto it =
        std::upper_bound(arrivals_.begin(), arrivals_.end(), offset,
                         [](size_t value, const std::pair<size_t, Clock::time_point>& a) {
                           return value < a.first;
                         });
    return it == arrivals_.end() ? Clock::time_point::max() : it->second;
  }
  size_t Received() const { return received_; }

 private:
  void Receive() {
    constexpr std::string_view kOk = "ICY 200 OK\r\n";
    std::string header;
    char chunk[8192];
    while (!stop_) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      const auto now = Clock::now();
      size_t skip = 0;
      if (header.size() < kOk.size()) {
        skip = std::min(kOk.size() - header.size(), static_cast<size_t>(n));
        header.append(chunk, skip);
      }
      received_ += static_cast<size_t>(n) - skip;
      // The pair's offset is one past the last byte that had arrived by then.
      if (static_cast<size_t>(n) > skip) arrivals_.emplace_back(received_, now);
    }
  }

  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> received_{0};
  std::vector<std::pair<size_t, Clock::time_point>> arrivals_;
};

std::string BinDir() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().string();
}

void BM_RelayEndToEnd(benchmark::State& state) {
  const char* secondsText = std::getenv("CORVANE_RELAY_SECONDS");
  const int seconds = secondsText != nullptr ? std::max(1, std::atoi(secondsText)) : 60;
  const int slices = seconds * 100;

  for (auto _ : state) {
    testing::TempDir home;
    ::setenv("CORVANE_HOME", home.path().c_str(), 1);
    auto pty = PseudoTerminal::Create();
    std::filesystem::create_directories(home.path() / "dosdevices");
    std::filesystem::create_symlink(pty->SlavePath(), home.path() / "dosdevices" / "com3");
    const auto casterFile = home.path() / "caster.bin";

    testing::ChildProcess caster({BinDir() + "/corvane-caster", "--port", "0", "--mount", "BENCH",
                                  "--password", "pw", "--out", casterFile.string()});
    const uint16_t port = testing::CasterPort(caster);
    if (port == 0) {
      state.SkipWithError("corvane-caster did not start");
      return;
    }
    TimingClient client;
    if (!client.Connect(port, "BENCH") || !caster.AwaitLine("clients=1")) {
      state.SkipWithError("the timing client could not join");
      return;
    }

    testing::RecordingEventLog log;
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const double casterBefore = ProcessCpuSeconds(caster.Pid());
    Relay relay(OpenRelayPort("COM3", 115200, log), nullptr, log, SteadyTime());
    relay.Flags().Running = 1;
    relay.StartReader();
    Settings settings;
    settings.CasterAddress = "127.0.0.1";
    settings.Port = port;
    settings.PassWord = "pw";
    settings.Mount = "BENCH";
    int32_t connectError = 0;
    if (ConnectCaster(relay.CasterSocket(), connectError, settings, log) != 1) {
      state.SkipWithError("the handshake failed");
      return;
    }
    relay.StartSender();

    std::mt19937 random(7);
    std::string written;
    std::vector<Clock::time_point> sliceWritten;
    const auto start = Clock::now();
    for (int slice = 0; slice < slices; ++slice) {
      uint8_t bytes[kSliceBytes];
      for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
      sliceWritten.push_back(Clock::now());
      pty->Write(bytes, kSliceBytes, std::chrono::seconds(5));
      written.append(reinterpret_cast<const char*>(bytes), kSliceBytes);
      std::this_thread::sleep_until(start + kSlicePeriod * (slice + 1));
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (client.Received() < written.size() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    relay.Flags().Running = 0;
    relay.CloseRelayPort();
    relay.Join();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double casterCpu = ProcessCpuSeconds(caster.Pid()) - casterBefore;
    client.Stop();
    caster.Stop(SIGTERM);
    ::unsetenv("CORVANE_HOME");

    std::vector<double> latencies;
    for (int slice = 0; slice < slices; ++slice) {
      const auto arrived = client.ArrivalOf(static_cast<size_t>(slice + 1) * kSliceBytes - 1);
      if (arrived == Clock::time_point::max()) continue;
      latencies.push_back(
          std::chrono::duration<double, std::milli>(arrived - sliceWritten[slice]).count());
    }
    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&](double p) {
      return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * (latencies.size() - 1))];
    };
    const bool equal = ReadFile(casterFile) == written;
    state.counters["bytes"] = static_cast<double>(written.size());
    state.counters["equal"] = equal ? 1 : 0;
    state.counters["p50_ms"] = percentile(0.50);
    state.counters["p99_ms"] = percentile(0.99);
    state.counters["max_ms"] = latencies.empty() ? 0.0 : latencies.back();
    state.counters["cpu_s"] = CpuSeconds(after) - CpuSeconds(before);
    state.counters["caster_cpu_s"] = casterCpu;
    if (!equal) state.SkipWithError("the caster's file differs from the bytes written");
  }
}

BENCHMARK(BM_RelayEndToEnd)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
