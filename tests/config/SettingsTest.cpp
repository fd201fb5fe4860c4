#include "config/Settings.h"

#include <gtest/gtest.h>

#include <string>

#include "fixtures/TempDir.h"
#include "platform/CodePage.h"
#include "platform/RegistryStore.h"

namespace corvane {
namespace {

using testing::TempDir;

std::string TextValue(const RegistryStore& registry, std::string_view name) {
  const auto value = registry.ReadValue(kSettingsKey, name);
  EXPECT_TRUE(value.has_value()) << name;
  if (!value) return {};
  EXPECT_EQ(value->Type, RegType::Sz);
  std::u16string wide;
  for (size_t i = 0; i + 1 < value->Bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(value->Bytes[i] | (value->Bytes[i + 1] << 8)));
  }
  EXPECT_EQ(value->Bytes.size(), wide.size() * 2) << name << ": no terminator, 2 bytes a unit";
  return WideToAnsi(wide);
}

Settings Filled() {
  Settings settings;
  settings.CasterAddress = "192.168.10.20";
  settings.Port = 2101;
  settings.Mount = "BASE01";
  settings.PassWord = "secret";
  settings.ReConnect_Times = 7;
  settings.Interval = 30;
  settings.SerialPort = "COM3";
  settings.SerialPortRate = 115200;
  settings.GPSBoard = kBoardTrimble;
  settings.DiffType = kDiffRtcm32;
  settings.Coordinate = kCoordinateInput;
  settings.NS = 'N';
  settings.EW = 'E';
  settings.BaseLat = 31.5;
  settings.BaseLon = 121.25;
  settings.BaseH = 12.34567;
  return settings;
}

TEST(SettingsTest, FirstRunKeepsInitialValues) {
  TempDir dir;
  RegistryStore registry(dir.path() / "registry.reg");
  Settings settings;
  EXPECT_FALSE(LoadSettings(settings, registry));
  EXPECT_EQ(settings.ReConnect_Times, 4);
  EXPECT_EQ(settings.Port, 0);
  EXPECT_EQ(settings.GPSBoard, kBoardNovAtel);
  EXPECT_TRUE(settings.CasterAddress.empty());
  EXPECT_EQ(settings.CasterOctets, (std::array<int32_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(settings.NS, '\0');
}

TEST(SettingsTest, SaveWritesFormatsAndReloadsEveryField) {
  TempDir dir;
  const auto file = dir.path() / "registry.reg";
  {
    RegistryStore registry(file);
    ASSERT_TRUE(SaveSettings(Filled(), registry));
  }
  RegistryStore registry(file);  // read back from the file, not memory
  EXPECT_EQ(TextValue(registry, "BaseLat"), "31.500000000");
  EXPECT_EQ(TextValue(registry, "BaseLon"), "121.250000000");
  EXPECT_EQ(TextValue(registry, "BaseH"), "12.3457");
  EXPECT_EQ(TextValue(registry, "NS"), "N");
  EXPECT_EQ(registry.ReadValue(kSettingsKey, "port")->Bytes,
            (std::vector<uint8_t>{0x35, 0x08, 0, 0}));  // names match without case

  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(loaded.CasterAddress, "192.168.10.20");
  EXPECT_EQ(loaded.CasterOctets, (std::array<int32_t, 4>{192, 168, 10, 20}));
  EXPECT_EQ(loaded.Port, 2101);
  EXPECT_EQ(loaded.Mount, "BASE01");
  EXPECT_EQ(loaded.PassWord, "secret");
  EXPECT_EQ(loaded.ReConnect_Times, 7);
  EXPECT_EQ(loaded.Interval, 30);
  EXPECT_EQ(loaded.SerialPort, "COM3");
  EXPECT_EQ(loaded.SerialPortRate, 115200);
  EXPECT_EQ(loaded.GPSBoard, kBoardTrimble);
  EXPECT_EQ(loaded.DiffType, kDiffRtcm32);
  EXPECT_EQ(loaded.NS, 'N');
  EXPECT_EQ(loaded.EW, 'E');
  EXPECT_DOUBLE_EQ(loaded.BaseLat, 31.5);
  EXPECT_DOUBLE_EQ(loaded.BaseLon, 121.25);
  EXPECT_DOUBLE_EQ(loaded.BaseH, 12.3457);
}

TEST(SettingsTest, HemispheresWithoutLetterAndLowerCase) {
  TempDir dir;
  RegistryStore registry(dir.path() / "registry.reg");
  Settings none;  // no letter ever chosen
  ASSERT_TRUE(SaveSettings(none, registry));
  EXPECT_EQ(TextValue(registry, "NS"), "S");
  EXPECT_EQ(TextValue(registry, "EW"), "W");
  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(loaded.NS, 'S');
  EXPECT_EQ(loaded.EW, 'W');

  registry.WriteValue(kSettingsKey, "NS", RegValue{RegType::Sz, {'s', 0}});
  registry.WriteValue(kSettingsKey, "EW", RegValue{RegType::Sz, {'w', 0}});
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(loaded.NS, 'N');
  EXPECT_EQ(loaded.EW, 'E');
}

TEST(SettingsTest, EmptyTextsAreZeroByteValues) {
  TempDir dir;
  RegistryStore registry(dir.path() / "registry.reg");
  ASSERT_TRUE(SaveSettings(Settings{}, registry));
  for (const char* name : {"CasterAddress", "Mount", "PassWord", "SerialPort"}) {
    EXPECT_TRUE(registry.ReadValue(kSettingsKey, name)->Bytes.empty()) << name;
  }
  Settings loaded = Filled();
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_TRUE(loaded.CasterAddress.empty());
  EXPECT_TRUE(loaded.Mount.empty());
  EXPECT_TRUE(loaded.PassWord.empty());
  EXPECT_TRUE(loaded.SerialPort.empty());
  EXPECT_EQ(loaded.CasterOctets, (std::array<int32_t, 4>{0, 0, 0, 0}));
}

TEST(SettingsTest, MountAtAndPastItsReadCapacity) {
  TempDir dir;
  RegistryStore registry(dir.path() / "registry.reg");
  Settings settings = Filled();
  settings.Mount = std::string(32, 'm');
  ASSERT_TRUE(SaveSettings(settings, registry));
  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(loaded.Mount, std::string(32, 'm'));

  settings.Mount = std::string(33, 'm');
  ASSERT_TRUE(SaveSettings(settings, registry));
  EXPECT_EQ(registry.ReadValue(kSettingsKey, "Mount")->Bytes.size(), 66u);
  Settings stopped;
  EXPECT_FALSE(LoadSettings(stopped, registry));
  EXPECT_TRUE(stopped.Mount.empty());  // the first value read: nothing loads
  EXPECT_TRUE(stopped.PassWord.empty());
  EXPECT_EQ(stopped.Port, 0);
}

TEST(SettingsTest, LoadStopsAtTheFirstMissingValue) {
  TempDir dir;
  RegistryStore registry(dir.path() / "registry.reg");
  ASSERT_TRUE(SaveSettings(Filled(), registry));
  // Rewrite the key without EW, as a device that never stored it.
  RegistryStore partial(dir.path() / "partial.reg");
  for (const char* name :
       {"Mount", "PassWord", "CasterAddress", "Port", "ReConnect_Times", "Interval",
        "SerialPortRate", "SerialPort", "NS", "Coordinate", "GPSBoard", "DiffType", "BaseLat",
        "BaseLon", "BaseH"}) {
    partial.WriteValue(kSettingsKey, name, *registry.ReadValue(kSettingsKey, name));
  }
  Settings loaded;
  EXPECT_FALSE(LoadSettings(loaded, partial));
  EXPECT_EQ(loaded.Mount, "BASE01");
  EXPECT_EQ(loaded.SerialPortRate, 115200);
  EXPECT_EQ(loaded.CasterOctets, (std::array<int32_t, 4>{192, 168, 10, 20}));
  EXPECT_EQ(loaded.NS, 'N');
  EXPECT_EQ(loaded.EW, '\0');
  EXPECT_EQ(loaded.Coordinate, kCoordinateInput);
  EXPECT_EQ(loaded.GPSBoard, kBoardNovAtel);
  EXPECT_EQ(loaded.DiffType, kDiffCmr);
  EXPECT_EQ(loaded.BaseLat, 0.0);
  EXPECT_EQ(loaded.BaseH, 0.0);
}

TEST(SettingsTest, DwordsLoadAfterTextsOfEveryLength) {
  TempDir dir;
  RegistryStore registry(dir.path() / "registry.reg");
  for (size_t length = 0; length <= 16; ++length) {
    Settings settings = Filled();
    settings.CasterAddress = std::string(length, '7');
    settings.SerialPort = std::string(length, 'C');
    settings.Port = 40000 + static_cast<int32_t>(length);
    settings.Coordinate = kCoordinateAutonomous;
    ASSERT_TRUE(SaveSettings(settings, registry));
    Settings loaded;
    ASSERT_TRUE(LoadSettings(loaded, registry)) << length;
    EXPECT_EQ(loaded.Port, 40000 + static_cast<int32_t>(length));
    EXPECT_EQ(loaded.SerialPortRate, 115200);
    EXPECT_EQ(loaded.Coordinate, kCoordinateAutonomous);
    EXPECT_EQ(loaded.SerialPort.size(), length);
  }
}

TEST(SettingsTest, BaseCoordinateTextsParseLikeWcstod) {
  TempDir dir;
  RegistryStore registry(dir.path() / "registry.reg");
  ASSERT_TRUE(SaveSettings(Filled(), registry));
  auto put = [&](const char* name, std::string_view text) {
    std::vector<uint8_t> bytes;
    for (char c : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
    registry.WriteValue(kSettingsKey, name, RegValue{RegType::Sz, bytes});
  };
  put("BaseLat", "  -31.25xyz");
  put("BaseLon", "not a number");
  put("BaseH", "+1.5e2");
  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_DOUBLE_EQ(loaded.BaseLat, -31.25);
  EXPECT_EQ(loaded.BaseLon, 0.0);
  EXPECT_DOUBLE_EQ(loaded.BaseH, 150.0);
}

TEST(SettingsTest, ParseCasterAddressNeverReadsPastTheText) {
  std::array<int32_t, 4> octets{9, 9, 9, 9};
  ParseCasterAddress("1.2.3.4.5", octets);
  EXPECT_EQ(octets, (std::array<int32_t, 4>{1, 2, 3, 4}));
  ParseCasterAddress(" 10.0.0.1x", octets);
  EXPECT_EQ(octets, (std::array<int32_t, 4>{10, 0, 0, 1}));
  ParseCasterAddress("...", octets);
  EXPECT_EQ(octets, (std::array<int32_t, 4>{0, 0, 0, 0}));
  ParseCasterAddress("-1.+2.3.", octets);
  EXPECT_EQ(octets, (std::array<int32_t, 4>{-1, 2, 3, 0}));
  octets = {9, 9, 9, 9};
  ParseCasterAddress("", octets);
  EXPECT_EQ(octets, (std::array<int32_t, 4>{0, 0, 0, 0}));
  octets = {9, 9, 9, 9};
  ParseCasterAddress("172.16", octets);
  EXPECT_EQ(octets, (std::array<int32_t, 4>{172, 16, 0, 0}));
  ParseCasterAddress("99999999999.1.2.3", octets);
  EXPECT_EQ(octets[0], INT32_MAX);
}

TEST(SettingsTest, FieldsAreNeverOverrun) {
  Settings settings;
  settings.CasterAddress = std::string(100, '1');
  settings.Mount = std::string(1000, 'm');
  EXPECT_EQ(settings.CasterAddress.size(), 31u);
  EXPECT_EQ(settings.Mount.size(), 63u);

  TempDir dir;
  RegistryStore registry(dir.path() / "registry.reg");
  ASSERT_TRUE(SaveSettings(Filled(), registry));
  std::vector<uint8_t> long16(32, 0);
  for (size_t i = 0; i < long16.size(); i += 2) long16[i] = '9';
  registry.WriteValue(kSettingsKey, "CasterAddress", RegValue{RegType::Sz, long16});
  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(loaded.CasterAddress, std::string(16, '9'));
}

}  // namespace
}  // namespace corvane
