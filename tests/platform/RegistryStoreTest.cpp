#include "platform/RegistryStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "fixtures/Files.h"
#include "fixtures/TempDir.h"
#include "platform/CodePage.h"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\software\\Corvane\\RuduzUze";

struct RegistryStoreTest : ::testing::Test {
  void Write(const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }
  void WriteUtf16(std::u16string_view text) {
    const Bytes bytes = Utf16LeBytes(text);
    Write("\xFF\xFE" + std::string(bytes.begin(), bytes.end()));
  }

  testing::TempDir dir;
  std::filesystem::path file = dir.path() / "registry.reg";
};

TEST_F(RegistryStoreTest, ImportsAUtf16ExportFromADeviceAndWritesItBackExactly) {
  WriteUtf16(
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\Software\\Corvane\\RuduzUze]\r\n"
      u"\"Mount\"=\"K\u00f6ln\\\"1\\\\\"\r\n\"Port\"=dword:00000835\r\n"
      u"\"PassWord\"=hex(1):61,00,62,\\\r\n  00,63,00,00,00\r\n\"Blob\"=hex:01,02\r\n@=\"d\"\r\n");
  for (int pass = 0; pass < 2; ++pass) {  // as imported, then as written back
    RegistryStore registry(file);
    const std::string key = "hkey_local_machine\\software\\corvane\\ruduzuze";
    EXPECT_EQ(registry.ReadValue(key, "MOUNT")->Bytes,
              (Bytes{'K', 0, 0xF6, 0, 'l', 0, 'n', 0, '"', 0, '1', 0, '\\', 0}));
    EXPECT_EQ(registry.ReadValue(key, "Port")->Bytes, (Bytes{0x35, 0x08, 0, 0}));
    EXPECT_EQ(registry.ReadValue(key, "Port")->Type, RegType::Dword);
    // The export's own terminator is kept: 8 bytes, not 6.
    EXPECT_EQ(registry.ReadValue(key, "PassWord")->Bytes, (Bytes{'a', 0, 'b', 0, 'c', 0, 0, 0}));
    EXPECT_EQ(registry.ReadValue(key, "PassWord")->Type, RegType::Sz);
    EXPECT_EQ(registry.ReadValue(key, "Blob")->Type, RegType::Binary);
    EXPECT_TRUE(registry.ReadValue(key, ""));
    ASSERT_TRUE(registry.Flush());
  }
}

TEST_F(RegistryStoreTest, ImportsRegedit4KeepsOtherKeysAndFlushesPrivately) {
  Write("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n\"A\"=\"\xe9t\xe9\"\r\n; a comment\r\n" +
        std::string("[") + kKey + "]\r\n\"Interval\"=dword:ffffffff\r\n");
  RegistryStore registry(file);
  EXPECT_EQ(registry.ReadValue("HKEY_LOCAL_MACHINE\\Other", "A")->Bytes,
            (Bytes{0xE9, 0, 't', 0, 0xE9, 0}));
  registry.WriteValue(kKey, "Odd", RegValue{RegType::Sz, {1, 2, 3}});
  ASSERT_TRUE(registry.Flush());

  RegistryStore again(file);
  EXPECT_TRUE(again.KeyExists("HKEY_LOCAL_MACHINE\\Other"));
  EXPECT_EQ(again.ReadValue(kKey, "Odd")->Bytes, (Bytes{1, 2, 3}));
  EXPECT_EQ(again.ReadValue(kKey, "Interval")->Bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // it holds the caster password
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
}

TEST_F(RegistryStoreTest, AFileThatIsNotAnExportIsKeptAside) {
  for (const std::string bad :
       {"garbage\r\n", "REGEDIT4\r\n\"NoKey\"=dword:1\r\n",
        "REGEDIT4\r\n[HKEY_X]\r\n\"A\"=dword:123456789\r\n",
        "REGEDIT4\r\n[HKEY_X]\r\n\"A\"=hex:0g\r\n", "REGEDIT4\r\n[HKEY_X]\r\n\"A=\"x\"\r\n"}) {
    SCOPED_TRACE(bad);
    Write(bad);
    RegistryStore registry(file);
    EXPECT_FALSE(registry.KeyExists("HKEY_X"));
    EXPECT_FALSE(std::filesystem::exists(file));
    std::vector<std::filesystem::path> aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      if (entry.path().filename().string().starts_with("registry.reg.bad-")) {
        aside.push_back(entry.path());
      }
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(testing::ReadFileBytes(aside[0]), bad);
    std::filesystem::remove(aside[0]);
  }
}

}  // namespace
}  // namespace corvane
