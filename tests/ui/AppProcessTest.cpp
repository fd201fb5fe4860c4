// The application as a process: started on the offscreen platform and ended
// by SIGTERM as the Cancel command ends it.
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

TEST(AppProcessTest, SigtermEndsTheApplicationAfterItsStartUpLines) {
  testing::TempDir home;
  const std::string program = std::string(CORVANE_BIN_DIR) + "/corvane";
  // The test's own environment (sanitizer options included), with its own
  // data folder and the offscreen platform.
  std::vector<std::string> env = {"CORVANE_HOME=" + home.path().string(),
                                  "QT_QPA_PLATFORM=offscreen"};
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
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);

  const auto log = home.path() / "log.txt";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (testing::ReadFileBytes(log).find("System Init.") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

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
  EXPECT_EQ(lines, (std::vector<std::string>{"Corvane V2.5", kAttributionLine, "System Init."}));
}

}  // namespace
}  // namespace corvane
