#include "config/Settings.h"

#include <gtest/gtest.h>

#include <string>

#include "fixtures/TempDir.h"
#include "platform/CodePage.h"
#include "platform/RegistryStore.h"

namespace corvane {
namespace {

using Octets = std::array<int32_t, 4>;

// The text of a value, checked to be stored as 2 bytes a character with no
// terminator.
std::string TextValue(const RegistryStore& registry, std::string_view name) {
  const auto value = registry.ReadValue(kSettingsKey, name);
  EXPECT_TRUE(value && value->Type == RegType::Sz) << name;
  if (!value) return {};
  const std::u16string wide = FromUtf16LeBytes(value->Bytes);
  EXPECT_EQ(value->Bytes.size(), wide.size() * 2) << name;
  EXPECT_EQ(wide.find(u'\0'), std::u16string::npos) << name;
  return WideToAnsi(wide);
}

void PutText(RegistryStore& registry, const char* name, std::string_view text) {
  registry.WriteValue(kSettingsKey, name, RegValue{RegType::Sz, Utf16LeBytes(AnsiToWide(text))});
}

Settings Filled() {
  Settings settings;
  settings.CasterAddress = "192.168.10.20";
  settings.CasterOctets = {192, 168, 10, 20};
  settings.Port = 2101;
  settings.Mount = "BASE01";
  settings.PassWord = "secret";
  settings.ReConnect_Times = 7;
  settings.Interval = 30;
  settings.SerialPort = "COM3";
  settings.SerialPortRate = 115200;
  settings.GPSBoard = kBoardTrimble;
  settings.DiffType = kDiffRtcm32;
  settings.NS = 'N';
  settings.EW = 'E';
  settings.BaseLat = 31.5;
  settings.BaseLon = 121.25;
  settings.BaseH = 12.3457;  // as "%.4f" gives it back
  return settings;
}

struct SettingsTest : ::testing::Test {
  testing::TempDir dir;
  RegistryStore registry{dir.path() / "registry.reg"};
};

TEST_F(SettingsTest, FirstRunKeepsInitialValues) {
  Settings settings;
  EXPECT_FALSE(LoadSettings(settings, registry));
  EXPECT_EQ(settings, Settings{});
  EXPECT_EQ(settings.ReConnect_Times, 4);
  EXPECT_EQ(settings.GPSBoard, kBoardNovAtel);
}

TEST_F(SettingsTest, SaveWritesFormatsAndReloadsEveryField) {
  Settings saved = Filled();
  saved.BaseH = 12.34567;
  ASSERT_TRUE(SaveSettings(saved, registry));
  RegistryStore reread(registry.File());  // from the file, not memory
  EXPECT_EQ(TextValue(reread, "BaseLat"), "31.500000000");
  EXPECT_EQ(TextValue(reread, "BaseLon"), "121.250000000");
  EXPECT_EQ(TextValue(reread, "BaseH"), "12.3457");
  EXPECT_EQ(TextValue(reread, "Mount"), "BASE01");
  EXPECT_EQ(reread.ReadValue(kSettingsKey, "port")->Bytes,
            (std::vector<uint8_t>{0x35, 0x08, 0, 0}));  // names match without case
  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, reread));
  EXPECT_EQ(loaded, Filled());
}

TEST_F(SettingsTest, HemispheresWithoutLetterAndLowerCase) {
  ASSERT_TRUE(SaveSettings(Settings{}, registry));  // no letter ever chosen
  EXPECT_EQ(TextValue(registry, "NS"), "S");
  EXPECT_EQ(TextValue(registry, "EW"), "W");
  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(std::string({loaded.NS, loaded.EW}), "SW");

  PutText(registry, "NS", "s");
  PutText(registry, "EW", "w");
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(std::string({loaded.NS, loaded.EW}), "NE");

  // Stored with a terminator, as another writer may have stored them.
  registry.WriteValue(kSettingsKey, "NS", RegValue{RegType::Sz, {'S', 0, 0, 0}});
  registry.WriteValue(kSettingsKey, "EW", RegValue{RegType::Sz, {'W', 0, 0, 0, 'x', 0}});
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(std::string({loaded.NS, loaded.EW}), "SW");
}

TEST_F(SettingsTest, EmptyTextsAreZeroByteValues) {
  ASSERT_TRUE(SaveSettings(Settings{}, registry));
  for (const char* name : {"CasterAddress", "Mount", "PassWord", "SerialPort"}) {
    EXPECT_TRUE(registry.ReadValue(kSettingsKey, name)->Bytes.empty()) << name;
  }
  Settings expected;  // empty texts, and the letters saved for no choice
  expected.NS = 'S';
  expected.EW = 'W';
  Settings loaded = Filled();
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(loaded, expected);
}

TEST_F(SettingsTest, MountAtAndPastItsReadCapacity) {
  Settings settings = Filled();
  settings.Mount = std::string(32, 'm');
  ASSERT_TRUE(SaveSettings(settings, registry));
  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(loaded, settings);

  settings.Mount = std::string(33, 'm');
  ASSERT_TRUE(SaveSettings(settings, registry));
  EXPECT_EQ(registry.ReadValue(kSettingsKey, "Mount")->Bytes.size(), 66u);
  Settings stopped;
  EXPECT_FALSE(LoadSettings(stopped, registry));
  EXPECT_EQ(stopped, Settings{});  // Mount is read first: nothing loads
}

TEST_F(SettingsTest, LoadStopsAtTheFirstMissingValue) {
  ASSERT_TRUE(SaveSettings(Filled(), registry));
  RegistryStore partial(dir.path() / "partial.reg");  // a device that never stored EW
  for (const char* name : {"Mount", "PassWord", "CasterAddress", "Port", "ReConnect_Times",
                           "Interval", "SerialPortRate", "SerialPort", "NS", "Coordinate",
                           "GPSBoard", "DiffType", "BaseLat", "BaseLon", "BaseH"}) {
    partial.WriteValue(kSettingsKey, name, *registry.ReadValue(kSettingsKey, name));
  }
  Settings expected = Filled();  // everything up to NS
  expected.EW = '\0';
  expected.Coordinate = kCoordinateInput;
  expected.GPSBoard = kBoardNovAtel;
  expected.DiffType = kDiffCmr;
  expected.BaseLat = expected.BaseLon = expected.BaseH = 0.0;
  Settings loaded;
  EXPECT_FALSE(LoadSettings(loaded, partial));
  EXPECT_EQ(loaded, expected);
}

TEST_F(SettingsTest, DwordsLoadAfterTextsOfEveryLength) {
  for (size_t length = 0; length <= 16; ++length) {
    SCOPED_TRACE(length);
    Settings settings = Filled();
    settings.CasterAddress = std::string(length, '7');
    settings.SerialPort = std::string(length, 'C');
    settings.Port = 40000 + static_cast<int32_t>(length);
    settings.Coordinate = kCoordinateAutonomous;
    ASSERT_TRUE(SaveSettings(settings, registry));
    settings.CasterOctets = {0, 0, 0, 0};
    if (length > 0) ParseCasterAddress(settings.CasterAddress.view(), settings.CasterOctets);
    Settings loaded;
    ASSERT_TRUE(LoadSettings(loaded, registry));
    EXPECT_EQ(loaded, settings);
  }
}

TEST_F(SettingsTest, CoordinateTextsParseLikeWcstodInDecimalFormOnly) {
  ASSERT_TRUE(SaveSettings(Filled(), registry));
  const std::vector<std::pair<const char*, double>> cases = {
      {"  -31.25xyz", -31.25}, {"not a number", 0.0}, {"+1.5e2", 150.0}, {".5e", 0.5},
      {"7.e-1", 0.7},          {"-.", 0.0},           {"nan", 0.0},      {"-INF", 0.0},
      {"infinity", 0.0},       {"0x1p4", 0.0},        {"1e999", 0.0},    {"-1e-999", -0.0},
  };
  for (const auto& [text, expected] : cases) {
    PutText(registry, "BaseLat", text);
    Settings loaded;
    ASSERT_TRUE(LoadSettings(loaded, registry));
    EXPECT_EQ(loaded.BaseLat, expected) << text;
  }
}

TEST(ParseCasterAddressTest, NeverReadsPastTheText) {
  const std::vector<std::pair<std::string, Octets>> cases = {
      {"1.2.3.4.5", {1, 2, 3, 4}},
      {" 10.0.0.1x", {10, 0, 0, 1}},
      {"...", {0, 0, 0, 0}},
      {"-1.+2.3.", {-1, 2, 3, 0}},
      {"", {0, 0, 0, 0}},
      {"172.16", {172, 16, 0, 0}},
      {"99999999999.1.2.3", {INT32_MAX, 1, 2, 3}},
  };
  for (const auto& [text, expected] : cases) {
    Octets octets{9, 9, 9, 9};
    ParseCasterAddress(text, octets);
    EXPECT_EQ(octets, expected) << text;
  }
}

TEST_F(SettingsTest, FieldsAreNeverOverrun) {
  Settings settings;
  settings.Mount = std::string(1000, 'm');
  EXPECT_EQ(settings.Mount.size(), 63u);
  ASSERT_TRUE(SaveSettings(Filled(), registry));
  PutText(registry, "CasterAddress", std::string(16, '9'));  // 32 bytes: the read capacity
  Settings loaded;
  ASSERT_TRUE(LoadSettings(loaded, registry));
  EXPECT_EQ(loaded.CasterAddress, std::string(16, '9'));
}

}  // namespace
}  // namespace corvane
