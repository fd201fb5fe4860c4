#include "platform/RegistryStore.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <set>
#include <thread>
#include <tuple>

#include "fixtures/TempDir.h"
#include "platform/CodePage.h"

namespace corvane {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;
constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\software\\Corvane\\RuduzUze";

using Names = std::multiset<std::string>;

struct RegistryStoreTest : ::testing::Test {
  void Write(const std::string& bytes) { testing::WriteFileBytes(file, bytes); }
  // The folder's entries: the file and what a save left behind.
  Names Entries() const {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      names.insert(entry.path().filename().string());
    return names;
  }
  // The keys the file holds, as the next start reads them.
  std::optional<std::vector<RegKeyData>> Stored() const {
    return ParseRegistryText(DecodeRegistryFile(testing::ReadFileBytes(file)));
  }

  testing::TempDir dir;
  std::filesystem::path file = dir.path() / "registry.reg";
};

// A device's export with a value added, as the next start reads it: key paths
// match in any case, the export's own terminator is kept (8 bytes, not 6),
// other keys, comments and the default value are handled.
TEST_F(RegistryStoreTest, ImportsAnExportAndWritesItBackExactlyAndPrivately) {
  const Bytes utf16 = Utf16LeBytes(
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n; a comment\r\n"
      u"\"A\"=dword:ffffffff\r\n[HKEY_LOCAL_MACHINE\\Software\\Corvane\\RuduzUze]\r\n"
      u"\"Mount\"=\"K\u00f6ln\\\"1\\\\\"\r\n\"Port\"=dword:00000835\r\n"
      u"\"PassWord\"=hex(1):61,00,62,\\\r\n  00,63,00,00,00\r\n\"Blob\"=hex:01,02\r\n@=\"d\"\r\n");
  Write("\xFF\xFE" + std::string(utf16.begin(), utf16.end()));
  RegistryStore registry(file);
  registry.WriteValue(kKey, "Odd", RegValue{RegType::Sz, {1, 2, 3}});
  ASSERT_TRUE(registry.Flush());
  EXPECT_EQ(
      Stored(),
      (std::vector<RegKeyData>{
          {"HKEY_LOCAL_MACHINE\\Other", {{"A", {RegType::Dword, {0xFF, 0xFF, 0xFF, 0xFF}}}}},
          {"HKEY_LOCAL_MACHINE\\Software\\Corvane\\RuduzUze",
           {{"Mount", {RegType::Sz, {'K', 0, 0xF6, 0, 'l', 0, 'n', 0, '"', 0, '1', 0, '\\', 0}}},
            {"Port", {RegType::Dword, {0x35, 0x08, 0, 0}}},
            {"PassWord", {RegType::Sz, {'a', 0, 'b', 0, 'c', 0, 0, 0}}},
            {"Blob", {RegType::Binary, {1, 2}}},
            {"", {RegType::Sz, {'d', 0}}},
            {"Odd", {RegType::Sz, {1, 2, 3}}}}}}));
  // It holds the caster password.
  EXPECT_EQ(std::filesystem::status(file).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(RegistryStoreTest, EachFileThatIsNotAnExportIsKeptAsideUnderANameOfItsOwn) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"garbage\r\n", "line 1: not a regedit export header"},
      {"REGEDIT4\r\n\"NoKey\"=dword:1\r\n", "line 2: a value outside any key"},
      {"REGEDIT4\r\n[HKEY_X]\r\n\"A\"=dword:123456789\r\n", "line 3: value data that is not"},
      {"REGEDIT4\r\n[HKEY_X]\r\n\"A=\"x\"\r\n", "line 3: a value name without ="},
      // Written back, this key would be [], which no start could read.
      {EncodeRegistryFile(u"REGEDIT4\r\n\r\n[\0A]\r\n"s),
       "line 3: a key path that begins with a zero character"},
      {"", "(no regedit export header)"},
  };
  for (const auto& [bad, reason] : cases) {
    SCOPED_TRACE(reason);
    Write(bad);
    RegistryStore registry(file);
    EXPECT_FALSE(registry.KeyExists("HKEY_X"));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_NE(registry.LoadProblem().find(reason), std::string::npos) << registry.LoadProblem();
  }
  // All in the same second, and none lost.
  Names aside, bad;
  for (const std::string& name : Entries()) {
    EXPECT_TRUE(name.starts_with("registry.reg.bad-")) << name;
    aside.insert(testing::ReadFileBytes(dir.path() / name));
  }
  for (const auto& entry : cases) bad.insert(entry.first);
  EXPECT_EQ(aside, bad);
}

// A file of mode 0 that another user owns; the Config dialog's test meets a
// folder in its place.
TEST_F(RegistryStoreTest, AFileThatExistsButCannotBeReadIsNeverReplaced) {
  const std::string stored = "REGEDIT4\r\n[HKEY_X]\r\n\"Mount\"=\"RTK1\"\r\n";
  // Anyone may write in the folder, as in the folder of another user's data.
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  Write(stored);
  std::filesystem::permissions(file, std::filesystem::perms::none);
  // A process of its own, as an ordinary user even when the test runs as
  // root (who may read anything).
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    RegistryStore registry(file);
    registry.WriteValue("HKEY_X", "Mount", RegValue{RegType::Sz, {'x', 0}});
    const bool refused =
        registry.LoadProblem().starts_with("Settings file " + file.string() +
                                           " cannot be read (") &&
        !registry.Flush() &&
        registry.FlushError() == file.string() + " was not loaded at start-up and is left as it is";
    ::_exit(refused ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(testing::ReadFileBytes(file), stored);
  EXPECT_EQ(Entries(), Names{"registry.reg"});
}

TEST_F(RegistryStoreTest, AFailedFlushKeepsTheFileAndLeavesNothingBehind) {
  const std::string stored = "REGEDIT4\r\n[HKEY_X]\r\n\"Mount\"=\"RTK1\"\r\n";
  Write(stored);
  const std::string unreadable = "the settings would not read back from " + file.string();
  // Keys that would not read back as they are, and a full disk.
  using Row = std::tuple<std::string, bool, std::string>;
  for (const auto& [key, diskFull, error] :
       {Row{"HKEY_X]\r\n[HKEY_Y", false, unreadable},
        Row{kKey, true, "cannot write " + file.string() + ": File too large"}}) {
    RegistryStore registry(file);
    registry.WriteValue(key, "Blob", RegValue{RegType::Binary, Bytes(100000, 7)});
    // No file of this process may grow past 4 KiB.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small{diskFull ? 4096 : limit.rlim_cur, limit.rlim_max};
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool flushed = registry.Flush();
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(flushed);
    EXPECT_EQ(registry.FlushError(), error);
    EXPECT_EQ(testing::ReadFileBytes(file), stored);
    EXPECT_EQ(Entries(), Names{"registry.reg"});
  }
}

TEST_F(RegistryStoreTest, TwoWritersNeverTearTheFileNorLeaveAnythingBehind) {
  RegistryStore first(file);
  ASSERT_TRUE(first.Flush());
  std::atomic<int> failures{0};  // failed flushes and unreadable files
  auto save = [&](uint8_t letter) {
    RegistryStore registry(file);
    for (int i = 0; i < 100; ++i) {
      registry.WriteValue(kKey, "Mount", RegValue{RegType::Sz, Bytes(64, letter)});
      if (!registry.Flush() || !Stored()) ++failures;
    }
  };
  std::thread a(save, 'a');
  std::thread b(save, 'b');
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Entries(), Names{"registry.reg"});
}

}  // namespace
}  // namespace corvane
