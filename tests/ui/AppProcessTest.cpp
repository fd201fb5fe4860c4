// The application as a process: started on the offscreen platform, ended by
// SIGTERM as the Cancel command ends it, refused beside a running instance of
// the same data folder, and telling when its settings could not be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "app/Startup.h"
#include "fixtures/Files.h"
#include "fixtures/TempDir.h"

extern char** environ;

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

bool IsStamp(std::string_view stamp) {
  const std::string_view shape = "[##/##-##:##:##] ";
  for (size_t i = 0; i < shape.size(); ++i) {
    const char c = stamp[i];
    const bool digit = c >= '0' && c <= '9';
    const bool padding = c == ' ' && (i == 1 || i == 4);  // month and day pad with spaces
    if (shape[i] == '#' ? !(digit || padding) : c != shape[i]) return false;
  }
  return true;
}

// Starts the application with the test's own environment (sanitizer options
// included), its own data folder and the offscreen platform; its stderr goes
// to `errors`.
pid_t StartApp(const std::filesystem::path& home, const std::filesystem::path& errors) {
  const std::string program = std::string(CORVANE_BIN_DIR) + "/corvane";
  std::vector<std::string> env = {"CORVANE_HOME=" + home.string(), "QT_QPA_PLATFORM=offscreen"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (!text.starts_with("CORVANE_HOME=") && !text.starts_with("QT_QPA_PLATFORM=")) {
      env.emplace_back(text);
    }
  }
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string arg0 = program;
  char* argv[] = {arg0.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int result = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

// The exit status, or -1 (and the process killed) when it runs on past 20 s.
int ExitStatus(pid_t pid) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the application until its start-up lines are in log.txt, runs
// `meanwhile`, ends it with SIGTERM and returns the texts of its log lines,
// each checked for its "[MM/DD-hh:mm:ss] " stamp and CR LF.
template <typename Meanwhile>
std::vector<std::string> RunApp(const std::filesystem::path& home, Meanwhile meanwhile) {
  const pid_t pid = StartApp(home, home / "stderr.txt");
  EXPECT_GT(pid, 0);
  if (pid <= 0) return {};
  const auto log = home / "log.txt";
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (testing::ReadFileBytes(log).find("System Init.") == std::string::npos &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  meanwhile();
  EXPECT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(ExitStatus(pid), 0);

  const std::string text = testing::ReadFileBytes(log);
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < text.size();) {
    const size_t stop = text.find("\r\n", begin);
    if (stop == std::string::npos || stop - begin < 17) {
      ADD_FAILURE() << text;
      break;
    }
    EXPECT_TRUE(IsStamp(text.substr(begin, 17))) << text.substr(begin, stop - begin);
    lines.push_back(text.substr(begin + 17, stop - begin - 17));
    begin = stop + 2;
  }
  return lines;
}

TEST(AppProcessTest, SigtermEndsTheApplicationAndASecondInstanceOfItsFolderIsRefused) {
  testing::TempDir home;
  const auto lines = RunApp(home.path(), [&] {
    const pid_t second = StartApp(home.path(), home.path() / "second.txt");
    ASSERT_GT(second, 0);
    EXPECT_EQ(ExitStatus(second), 1);
    EXPECT_EQ(testing::ReadFileBytes(home.path() / "second.txt"),
              "Corvane is already running with data folder " + home.path().string() + "\n");
  });
  EXPECT_EQ(lines, (std::vector<std::string>{"Corvane V2.5", kAttributionLine, "System Init."}));
}

TEST(AppProcessTest, SettingsThatCannotBeReadAreToldAfterTheStartUpLines) {
  testing::TempDir home;
  const auto registry = home.path() / "registry.reg";
  std::filesystem::create_directory(registry);
  const std::string problem = "Settings file " + registry.string() +
                              " cannot be read (not a regular file): running with defaults, and "
                              "Save will not replace it";
  const auto lines = RunApp(home.path(), [] {});
  EXPECT_EQ(lines,
            (std::vector<std::string>{"Corvane V2.5", kAttributionLine, "System Init.", problem}));
  EXPECT_NE(testing::ReadFileBytes(home.path() / "stderr.txt").find("corvane: " + problem + "\n"),
            std::string::npos);
}

}  // namespace
}  // namespace corvane
