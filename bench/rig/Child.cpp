#include "bench/rig/Child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "bench/rig/Interrupt.h"

extern char** environ;

namespace corvane::bench {

namespace {

std::string_view VariableName(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::filesystem::path& output)
    : output_(output) {
  std::vector<std::string> env = environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& added : environment) {
      replaced = replaced || VariableName(added) == VariableName(*entry);
    }
    if (!replaced) env.emplace_back(*entry);
  }
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
  Stop(SIGKILL);
}

bool Child::Running() {
  return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
}

bool Child::AwaitOutput(std::string_view text, std::chrono::steady_clock::duration within) const {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (ReadWholeFile(output_).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    SleepFor(50ms);
  }
  return true;
}

int Child::Stop(int signal, std::chrono::steady_clock::duration within) {
  if (pid_ <= 0) return -1;
  const pid_t pid = std::exchange(pid_, -1);
  ::kill(pid, signal);
  const auto deadline = std::chrono::steady_clock::now() + within;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadWholeFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::filesystem::path ProgramDirectory() {
  return std::filesystem::canonical("/proc/self/exe").parent_path();
}

std::filesystem::path FindOnPath(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::filesystem::path candidate = std::filesystem::path(rest.substr(0, colon)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
  }
  return {};
}

}  // namespace corvane::bench
