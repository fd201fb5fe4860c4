#include "platform/DataFolder.h"

#include <gtest/gtest.h>

#include "fixtures/TempDir.h"

namespace corvane {
namespace {

using State = DataFolderLock::State;

TEST(DataFolderLockTest, OneHolderAtATimeUntilItEnds) {
  testing::TempDir dir;
  {
    const DataFolderLock first = LockDataFolder(dir.path());
    EXPECT_EQ(first.Result(), State::Held);
    EXPECT_EQ(LockDataFolder(dir.path()).Result(), State::Busy);
  }
  EXPECT_EQ(LockDataFolder(dir.path()).Result(), State::Held);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LockDataFolder(dir.path() / "missing").Result(), State::Failed);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "corvane: cannot lock data folder " +
                                                          (dir.path() / "missing").string() +
                                                          ": No such file or directory\n");
}

}  // namespace
}  // namespace corvane
