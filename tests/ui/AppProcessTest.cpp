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

TEST(AppProcessTest, RunsAloneOnItsFolderTellsWhyItsSettingsWereNotLoadedAndEndsOnSigterm) {
  testing::TempDir home;
  const auto registry = home.path() / "registry.reg";
  std::filesystem::create_directory(registry);  // there, but not readable
  const pid_t pid = StartApp(home.path(), home.path() / "stderr.txt");
  ASSERT_GT(pid, 0);
  const auto log = home.path() / "log.txt";
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (testing::ReadFileBytes(log).find("System Init.") == std::string::npos &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const pid_t second = StartApp(home.path(), home.path() / "second.txt");
  ASSERT_GT(second, 0);
  EXPECT_EQ(ExitStatus(second), 1);
  EXPECT_EQ(testing::ReadFileBytes(home.path() / "second.txt"),
            "Corvane is already running with data folder " + home.path().string() + "\n");
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(ExitStatus(pid), 0);

  // Each line: a "[MM/DD-hh:mm:ss] " stamp, the text, CR LF.
  const std::string text = testing::ReadFileBytes(log);
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < text.size();) {
    const size_t stop = text.find("\r\n", begin);
    ASSERT_NE(stop, std::string::npos) << text;
    const std::string line = text.substr(begin, stop - begin);
    ASSERT_GE(line.size(), 17u) << line;
    EXPECT_TRUE(IsStamp(line.substr(0, 17))) << line;
    lines.push_back(line.substr(17));
    begin = stop + 2;
  }
  const std::string problem = "Settings file " + registry.string() +
                              " cannot be read (not a regular file): running with defaults, and "
                              "Save will not replace it";
  EXPECT_EQ(lines,
            (std::vector<std::string>{"Corvane V2.5", kAttributionLine, "System Init.", problem}));
  EXPECT_NE(testing::ReadFileBytes(home.path() / "stderr.txt").find("corvane: " + problem + "\n"),
            std::string::npos);
}

}  // namespace
}  // namespace corvane
