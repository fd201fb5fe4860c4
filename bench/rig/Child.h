// A program the benches start: its standard output and error go to one file,
// so that nothing it prints can block it; it is signalled and reaped by its
// own process id, at the latest when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::bench {

using namespace std::chrono_literals;

class Child {
 public:
  // Runs argv[0] with this process's environment plus `environment`
  // ("NAME=value", replacing a variable of the same name).
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
        const std::filesystem::path& output);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }
  bool Running();
  const std::filesystem::path& Output() const { return output_; }
  // Waits up to `within` for the output to hold `text`.
  bool AwaitOutput(std::string_view text, std::chrono::steady_clock::duration within) const;
  // Signals and reaps it: the exit status, or -1 when it had to be killed.
  int Stop(int signal = SIGTERM, std::chrono::steady_clock::duration within = 5s);

 private:
  pid_t pid_ = -1;
  std::filesystem::path output_;
};

// The whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& file);

// The directory of the running program, where the other programs of the
// build stand too.
std::filesystem::path ProgramDirectory();

// The full path of `name` on PATH; empty when it is not there.
std::filesystem::path FindOnPath(std::string_view name);

}  // namespace corvane::bench
