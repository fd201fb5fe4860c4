#include "config/Settings.h"

#include <gtest/gtest.h>

#include <optional>

#include "fixtures/TempDir.h"
#include "platform/CodePage.h"
#include "platform/RegistryStore.h"

namespace corvane::testing {
namespace {

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
  TempDir dir;
  RegistryStore registry{dir.path() / "registry.reg"};
};

TEST_F(SettingsTest, FirstRunKeepsInitialValues) {
  Settings settings;
  EXPECT_FALSE(LoadSettings(settings, registry));
  EXPECT_EQ(settings, Settings{});
  EXPECT_EQ(std::tuple(settings.ReConnect_Times, settings.GPSBoard), std::tuple(4, kBoardNovAtel));
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

// Settings never chosen: empty texts are zero-byte values, the hemispheres
// are saved as S and W.
TEST_F(SettingsTest, EmptyTextsHemispheresWithoutLetterAndLowerCase) {
  ASSERT_TRUE(SaveSettings(Settings{}, registry));
  for (const char* name : {"CasterAddress", "Mount", "PassWord", "SerialPort"}) {
    EXPECT_TRUE(registry.ReadValue(kSettingsKey, name)->Bytes.empty()) << name;
  }
  EXPECT_EQ(TextValue(registry, "NS") + TextValue(registry, "EW"), "SW");
  Settings expected;
  expected.NS = 'S';
  expected.EW = 'W';
  Settings overwritten = Filled();
  ASSERT_TRUE(LoadSettings(overwritten, registry));
  EXPECT_EQ(overwritten, expected);
  const auto loaded = [&] {
    Settings settings;
    EXPECT_TRUE(LoadSettings(settings, registry));
    return std::string({settings.NS, settings.EW});
  };
  EXPECT_EQ(loaded(), "SW");
  PutText(registry, "NS", "s");
  PutText(registry, "EW", "w");
  EXPECT_EQ(loaded(), "NE");
  // Stored with a terminator, as another writer may have stored them.
  registry.WriteValue(kSettingsKey, "NS", RegValue{RegType::Sz, {'S', 0, 0, 0}});
  registry.WriteValue(kSettingsKey, "EW", RegValue{RegType::Sz, {'W', 0, 0, 0, 'x', 0}});
  EXPECT_EQ(loaded(), "SW");
}

TEST_F(SettingsTest, TextsAtAndPastTheirReadCapacity) {
  Settings settings = Filled();
  settings.Mount = std::string(1000, 'm');
  EXPECT_EQ(settings.Mount.size(), 63u);  // the field is never overrun
  settings.Mount = std::string(32, 'm');
  settings.CasterAddress = std::string(16, '9');  // 64 and 32 bytes: what is read
  ParseCasterAddress(settings.CasterAddress.view(), settings.CasterOctets);
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

// A device that never stored a value, or stored a number in more than four
// bytes: the load stops there, with the fields read before it.
TEST_F(SettingsTest, LoadStopsAtTheFirstValueItCannotRead) {
  const Settings filled = Filled();
  ASSERT_TRUE(SaveSettings(filled, registry));
  Settings upToPort;
  upToPort.Mount = filled.Mount;
  upToPort.PassWord = filled.PassWord;
  upToPort.CasterAddress = filled.CasterAddress;
  Settings upToInterval = upToPort;  // the address is parsed only after Interval
  upToInterval.Port = filled.Port;
  upToInterval.ReConnect_Times = filled.ReConnect_Times;
  Settings upToEw = filled;
  upToEw.EW = '\0';
  upToEw.Coordinate = kCoordinateInput;
  upToEw.GPSBoard = kBoardNovAtel;
  upToEw.DiffType = kDiffCmr;
  upToEw.BaseLat = upToEw.BaseLon = upToEw.BaseH = 0.0;
  const std::tuple<std::string, std::optional<RegValue>, Settings> rows[] = {
      {"Port", RegValue{RegType::Dword, {0x35, 0x08, 0, 0, 0}}, upToPort},
      {"Interval", std::nullopt, upToInterval},
      {"EW", std::nullopt, upToEw}};
  for (const auto& [name, value, expected] : rows) {
    RegistryStore partial(dir.path() / (name + ".reg"));
    for (const char* each : {"Mount", "PassWord", "CasterAddress", "Port", "ReConnect_Times",
                             "Interval", "SerialPortRate", "SerialPort", "NS", "EW", "Coordinate",
                             "GPSBoard", "DiffType", "BaseLat", "BaseLon", "BaseH"}) {
      const auto stored = each == name ? value : registry.ReadValue(kSettingsKey, each);
      if (stored) partial.WriteValue(kSettingsKey, each, *stored);
    }
    Settings loaded;
    EXPECT_FALSE(LoadSettings(loaded, partial)) << name;
    EXPECT_EQ(loaded, expected) << name;
  }
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
  const std::pair<const char*, double> cases[] = {
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
  const std::pair<std::string, std::array<int32_t, 4>> cases[] = {
      {"1.2.3.4.5", {1, 2, 3, 4}},
      {" 10.0.0.1x", {10, 0, 0, 1}},
      {"...", {0, 0, 0, 0}},
      {"-1.+2.3.", {-1, 2, 3, 0}},
      {"", {0, 0, 0, 0}},
      {"172.16", {172, 16, 0, 0}},
      {"99999999999.1.2.3", {INT32_MAX, 1, 2, 3}},
  };
  for (const auto& [text, expected] : cases) {
    std::array<int32_t, 4> octets{9, 9, 9, 9};
    ParseCasterAddress(text, octets);
    EXPECT_EQ(octets, expected) << text;
  }
}

}  // namespace
}  // namespace corvane::testing
