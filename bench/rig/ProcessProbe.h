// What /proc tells about a running process, for the figures of the benches:
// processor time and voluntary context switches (wake-ups) summed over its
// threads, resident memory, its threads and its open descriptors.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace corvane::bench {

// One thread's counters since it started.
struct ThreadCounters {
  double CpuSeconds = 0;  // schedstat, nanosecond resolution
  uint64_t Wakeups = 0;   // voluntary_ctxt_switches
};

struct ProcessSample {
  std::chrono::steady_clock::time_point At;
  std::map<pid_t, ThreadCounters> Threads;
  long RssKb = 0;
  int Descriptors = 0;
  bool Valid = false;  // false when the process was gone
};

ProcessSample SampleProcess(pid_t pid);

// Its threads counted by name (comm), which tells the application's own from
// Qt's pooled helpers that come and go.
std::map<std::string, int> ThreadsByName(pid_t pid);

// What its open descriptors refer to ("socket:[1234]" reads "socket",
// "anon_inode:[eventfd]" stays whole), to tell which kind came or went.
std::multiset<std::string> DescriptorTargets(pid_t pid);

// What a process cost over a stretch of time.
struct ProcessUsage {
  double Seconds = 0;
  double CpuSeconds = 0;
  double WakeupsPerSecond = 0;
  // No thread came or went between the first sample and the last.
  bool SameThreads = false;
};

// Follows a process's threads through a measurement. Each sample adds what
// every thread did since the one before, and a new thread's whole life, so
// that threads that come and go (Qt's pooled helpers) count as well; a
// thread that ends takes only what it did since the last sample with it.
// Sample a few times a second.
class UsageMeter {
 public:
  explicit UsageMeter(pid_t pid);
  void Sample();
  // From construction to the last sample.
  ProcessUsage Usage() const;
  const ProcessSample& Last() const { return last_; }

 private:
  pid_t pid_;
  ProcessSample first_;
  ProcessSample last_;
  double cpuSeconds_ = 0;
  uint64_t wakeups_ = 0;
  bool sameThreads_ = true;
};

}  // namespace corvane::bench
