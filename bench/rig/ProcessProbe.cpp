#include "bench/rig/ProcessProbe.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

namespace corvane::bench {

namespace {

// The number after `key` in a "Key:\tvalue" file such as status; -1 when absent.
long long StatusField(const std::filesystem::path& file, std::string_view key) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':') {
      return std::stoll(line.substr(key.size() + 1));
    }
  }
  return -1;
}

}  // namespace

ProcessSample SampleProcess(pid_t pid) {
  ProcessSample sample;
  sample.At = std::chrono::steady_clock::now();
  const std::filesystem::path process = "/proc/" + std::to_string(pid);
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(process / "task", ec)) {
    std::ifstream schedstat(task.path() / "schedstat");
    unsigned long long runNanoseconds = 0;
    const long long wakeups = StatusField(task.path() / "status", "voluntary_ctxt_switches");
    if (!(schedstat >> runNanoseconds) || wakeups < 0) continue;  // the thread just ended
    sample.Threads[static_cast<pid_t>(std::stol(task.path().filename().string()))] = {
        static_cast<double>(runNanoseconds) / 1e9, static_cast<uint64_t>(wakeups)};
  }
  if (ec || sample.Threads.empty()) return sample;
  sample.RssKb = static_cast<long>(StatusField(process / "status", "VmRSS"));
  for (const auto& entry : std::filesystem::directory_iterator(process / "fd", ec)) {
    static_cast<void>(entry);
    ++sample.Descriptors;
  }
  sample.Valid = !ec && sample.RssKb >= 0;
  return sample;
}

std::map<std::string, int> ThreadsByName(pid_t pid) {
  std::map<std::string, int> names;
  std::error_code ec;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) ++names[name];
  }
  return names;
}

std::multiset<std::string> DescriptorTargets(pid_t pid) {
  std::multiset<std::string> targets;
  std::error_code ec;
  const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
    std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (ec) continue;  // closed meanwhile
    // Sockets and pipes differ by their inode only: count them by kind.
    for (const std::string_view kind : {"socket:", "pipe:"}) {
      if (target.starts_with(kind)) target = kind.substr(0, kind.size() - 1);
    }
    targets.insert(std::move(target));
  }
  return targets;
}

UsageMeter::UsageMeter(pid_t pid) : pid_(pid), first_(SampleProcess(pid)), last_(first_) {}

void UsageMeter::Sample() {
  const ProcessSample now = SampleProcess(pid_);
  if (!now.Valid) return;
  for (const auto& [thread, counters] : now.Threads) {
    const auto before = last_.Threads.find(thread);
    const ThreadCounters from = before == last_.Threads.end() ? ThreadCounters{} : before->second;
    cpuSeconds_ += counters.CpuSeconds - from.CpuSeconds;
    wakeups_ += counters.Wakeups - from.Wakeups;
    sameThreads_ = sameThreads_ && before != last_.Threads.end();
  }
  sameThreads_ = sameThreads_ && now.Threads.size() == last_.Threads.size();
  last_ = now;
}

ProcessUsage UsageMeter::Usage() const {
  ProcessUsage usage;
  usage.Seconds = std::chrono::duration<double>(last_.At - first_.At).count();
  usage.CpuSeconds = cpuSeconds_;
  if (usage.Seconds > 0) usage.WakeupsPerSecond = static_cast<double>(wakeups_) / usage.Seconds;
  usage.SameThreads = sameThreads_;
  return usage;
}

}  // namespace corvane::bench
