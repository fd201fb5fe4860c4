#include "platform/EventFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "fixtures/Files.h"
#include "fixtures/TempDir.h"

namespace corvane {
namespace {

TEST(EventFileTest, CreatesTheFileAndEndsLinesWithCrLf) {
  testing::TempDir dir;
  EventFile file(dir.path() / "log.txt");
  file.Append("first");
  file.Append("Socket Err:32\r\n");
  file.Append(std::string(600, 'x'));
  EXPECT_EQ(testing::ReadFileBytes(file.File()),
            "first\r\nSocket Err:32\r\n\r\n" + std::string(EventFile::kMaxLineText, 'x') + "\r\n");
}

TEST(EventFileTest, NeverAppendsThroughALinkAndSaysSoOnce) {
  testing::TempDir dir;
  const auto target = dir.path() / "registry.reg";
  std::ofstream(target) << "kept";
  EventFile file(dir.path() / "log.txt");
  std::filesystem::create_symlink(target, file.File());
  ::testing::internal::CaptureStderr();
  file.Append("first");
  file.Append("second");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "corvane: " + file.File().string() +
                " is a symbolic link; event lines are not written to it\n");
  EXPECT_EQ(testing::ReadFileBytes(target), "kept");
  EXPECT_TRUE(std::filesystem::is_symlink(file.File()));
}

TEST(EventFileTest, LinesFromEightThreadsAllArriveOnce) {
  testing::TempDir dir;
  EventFile file(dir.path() / "log.txt");
  constexpr int kThreads = 8;
  constexpr int kLines = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&file, t] {
      EventFile own(file.File());  // each thread with its own object, as separate opens
      for (int i = 0; i < kLines; ++i) own.Append(std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();

  const std::string text = testing::ReadFileBytes(file.File());
  std::set<std::string> seen;
  size_t count = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    seen.insert(text.substr(start, end - start));
    ++count;
    start = end + 2;
  }
  EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace corvane
