// A program run by a test: its standard output read line by line with a
// deadline, ended by a signal, and always reaped, so no test leaves a
// process behind.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace corvane::testing {

class ChildProcess {
 public:
  // Starts the program; Running() is false when it could not start. Its
  // standard error is discarded when `quiet`.
  explicit ChildProcess(const std::vector<std::string>& argv, bool quiet = false) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    output_ = pipeFds[0];
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) ::close(output_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The next line of standard output without its LF; empty when none came
  // within the time or the output ended.
  std::string ReadLine(std::chrono::milliseconds within = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
      const size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd entry{output_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[512];
      const ssize_t n = ::read(output_, chunk, sizeof chunk);
      if (n <= 0) return {};
      pending_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Reads lines until one contains `text`; false when none did in time.
  bool AwaitLine(const std::string& text,
                 std::chrono::milliseconds within = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      const std::string line = ReadLine(left);
      if (line.find(text) != std::string::npos) return true;
      if (line.empty()) return false;
    }
    return false;
  }

  // Sends the signal and waits for the exit; the exit status, or -1 when the
  // process did not exit normally in time.
  int Stop(int signal = SIGTERM,
           std::chrono::milliseconds within = std::chrono::milliseconds(5000)) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + within;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
};

}  // namespace corvane::testing
