#include "platform/RegistryStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "fixtures/TempDir.h"

namespace corvane {
namespace {

using testing::TempDir;

void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

std::string Utf16File(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

TEST(RegistryStoreTest, ImportsAUtf16ExportFromADevice) {
  TempDir dir;
  const auto file = dir.path() / "registry.reg";
  WriteFile(file, Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n"
                            u"[HKEY_LOCAL_MACHINE\\Software\\Corvane\\RuduzUze]\r\n"
                            u"\"Mount\"=\"K\u00f6ln\\\"1\\\\\"\r\n"
                            u"\"Port\"=dword:00000835\r\n"
                            u"\"PassWord\"=hex(1):61,00,62,\\\r\n"
                            u"  00,63,00,00,00\r\n"
                            u"\"Blob\"=hex:01,02\r\n"
                            u"@=\"default\"\r\n"));
  RegistryStore registry(file);
  const std::string key = "hkey_local_machine\\software\\corvane\\ruduzuze";
  ASSERT_TRUE(registry.KeyExists(key));
  const auto mount = registry.ReadValue(key, "MOUNT");
  ASSERT_TRUE(mount);
  EXPECT_EQ(mount->Type, RegType::Sz);
  EXPECT_EQ(mount->Bytes, (std::vector<uint8_t>{'K', 0, 0xF6, 0, 'l', 0, 'n', 0, '"', 0, '1', 0,
                                                '\\', 0}));
  EXPECT_EQ(registry.ReadValue(key, "Port")->Bytes, (std::vector<uint8_t>{0x35, 0x08, 0, 0}));
  const auto password = registry.ReadValue(key, "PassWord");
  EXPECT_EQ(password->Type, RegType::Sz);
  EXPECT_EQ(password->Bytes.size(), 8u);  // the export's own terminator is kept
  EXPECT_EQ(registry.ReadValue(key, "Blob")->Type, RegType::Binary);
  EXPECT_TRUE(registry.ReadValue(key, ""));

  // Written back and read again, every byte and type stays.
  ASSERT_TRUE(registry.Flush());
  RegistryStore again(file);
  EXPECT_EQ(again.ReadValue(key, "Mount")->Bytes, mount->Bytes);
  EXPECT_EQ(again.ReadValue(key, "PassWord")->Bytes, password->Bytes);
  EXPECT_EQ(again.ReadValue(key, "Blob")->Bytes, (std::vector<uint8_t>{1, 2}));
}

TEST(RegistryStoreTest, ImportsRegedit4AndKeepsOtherKeys) {
  TempDir dir;
  const auto file = dir.path() / "registry.reg";
  WriteFile(file,
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n\"A\"=\"\xe9t\xe9\"\r\n"
            "; a comment\r\n[HKEY_LOCAL_MACHINE\\software\\Corvane\\RuduzUze]\r\n"
            "\"Interval\"=dword:ffffffff\r\n");
  RegistryStore registry(file);
  EXPECT_EQ(registry.ReadValue("HKEY_LOCAL_MACHINE\\Other", "A")->Bytes,
            (std::vector<uint8_t>{0xE9, 0, 't', 0, 0xE9, 0}));
  registry.WriteValue("HKEY_LOCAL_MACHINE\\software\\Corvane\\RuduzUze", "Odd",
                      RegValue{RegType::Sz, {1, 2, 3}});
  ASSERT_TRUE(registry.Flush());
  RegistryStore again(file);
  EXPECT_TRUE(again.KeyExists("HKEY_LOCAL_MACHINE\\Other"));
  EXPECT_EQ(again.ReadValue("HKEY_LOCAL_MACHINE\\software\\Corvane\\RuduzUze", "Odd")->Bytes,
            (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(again.ReadValue("HKEY_LOCAL_MACHINE\\software\\Corvane\\RuduzUze", "Interval")->Bytes,
            (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(RegistryStoreTest, FlushIsPrivateAndLeavesNoTemporaryFile) {
  TempDir dir;
  const auto file = dir.path() / "sub" / "registry.reg";
  RegistryStore registry(file);
  registry.WriteValue("HKEY_LOCAL_MACHINE\\K", "PassWord", RegValue{RegType::Sz, {'p', 0}});
  ASSERT_TRUE(registry.Flush());
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(RegistryStoreTest, AFileThatIsNotAnExportIsKeptAside) {
  TempDir dir;
  const auto file = dir.path() / "registry.reg";
  for (const std::string& bad :
       {std::string("garbage\r\n"), std::string("REGEDIT4\r\n\"NoKey\"=dword:1\r\n"),
        std::string("REGEDIT4\r\n[HKEY_X]\r\n\"A\"=dword:123456789\r\n"),
        std::string("REGEDIT4\r\n[HKEY_X]\r\n\"A\"=hex:0g\r\n"),
        std::string("REGEDIT4\r\n[HKEY_X]\r\n\"A=\"x\"\r\n")}) {
    WriteFile(file, bad);
    RegistryStore registry(file);
    EXPECT_FALSE(registry.KeyExists("HKEY_X"));
    EXPECT_FALSE(std::filesystem::exists(file)) << bad;
    size_t aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("registry.reg.bad-")) {
        ++aside;
        std::ifstream in(entry.path(), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bad);
        std::filesystem::remove(entry.path());
      }
    }
    EXPECT_EQ(aside, 1u) << bad;
  }
}

}  // namespace
}  // namespace corvane
