// The application as a process: started on the offscreen platform and ended
// by SIGTERM as the Cancel command ends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "fixtures/TempDir.h"

extern char** environ;

namespace corvane {
namespace {

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
  while (ReadAll(log).find("System Init.") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const std::regex expected(
      R"(\[[ \d]\d/[ \d]\d-\d\d:\d\d:\d\d\] Corvane V2\.5\r\n)"
      R"(\[[ \d]\d/[ \d]\d-\d\d:\d\d:\d\d\] Corvane NTRIP base station uplink for Linux\r\n)"
      R"(\[[ \d]\d/[ \d]\d-\d\d:\d\d:\d\d\] System Init\.\r\n)");
  EXPECT_TRUE(std::regex_match(ReadAll(log), expected)) << ReadAll(log);
}

}  // namespace
}  // namespace corvane
