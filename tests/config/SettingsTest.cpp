#include "config/Settings.h"

#include <gtest/gtest.h>

#include <optional>

#include "fixtures/TempDir.h"
#include "platform/CodePage.h"
#include "platform/RegistryStore.h"

namespace corvane::testing {
namespace {

using Values = std::vector<std::optional<RegValue>>;

// A text value as stored: 2 bytes a character, no terminator.
RegValue Sz(std::string_view text) {
  return {RegType::Sz, Utf16LeBytes(AnsiToWide(text))};
}

// BaseH as "%.4f" gives it back.
// clang-format off
const Settings kFilled = {
    .CasterAddress = {"192.168.10.20"}, .CasterOctets = {192, 168, 10, 20}, .Port = 2101,
    .Mount = {"BASE01"}, .PassWord = {"secret"}, .ReConnect_Times = 7, .Interval = 30,
    .SerialPort = {"COM3"}, .SerialPortRate = 115200, .GPSBoard = kBoardTrimble,
    .DiffType = kDiffRtcm32, .NS = 'N', .EW = 'E', .BaseLat = 31.5, .BaseLon = 121.25,
    .BaseH = 12.3457};
// clang-format on

struct SettingsTest : ::testing::Test {
  Settings Loaded(bool loads = true) {
    Settings settings;
    EXPECT_EQ(LoadSettings(settings, registry), loads);
    return settings;
  }
  // The values as the file holds them.
  Values Stored(std::initializer_list<const char*> names) const {
    const RegistryStore reread(registry.File());
    Values values;
    for (const char* name : names) values.push_back(reread.ReadValue(kSettingsKey, name));
    return values;
  }
  TempDir dir;
  RegistryStore registry{dir.path() / "registry.reg"};
};

TEST_F(SettingsTest, SaveWritesFormatsAndReloadsEveryField) {
  EXPECT_EQ(Loaded(false), Settings{});  // the first run keeps the initial values
  Settings saved = kFilled;
  saved.BaseH = 12.34567;
  ASSERT_TRUE(SaveSettings(saved, registry));
  // Names match without case. (The Config dialog's and the application's
  // tests load saved settings from the file in a store of their own.)
  EXPECT_EQ(Stored({"BaseLat", "BaseLon", "BaseH", "Mount", "port"}),
            (Values{Sz("31.500000000"), Sz("121.250000000"), Sz("12.3457"), Sz("BASE01"),
                    RegValue{RegType::Dword, {0x35, 0x08, 0, 0}}}));
  EXPECT_EQ(Loaded(), kFilled);
}

// Settings never chosen: empty texts are zero-byte values, the hemispheres
// are saved as S and W. Only upper-case letters are read back as S and W,
// with or without a terminator as another writer may have stored them.
TEST_F(SettingsTest, EmptyTextsAndHemispheres) {
  ASSERT_TRUE(SaveSettings(Settings{}, registry));
  EXPECT_EQ(Stored({"CasterAddress", "Mount", "PassWord", "SerialPort", "NS", "EW"}),
            (Values{Sz(""), Sz(""), Sz(""), Sz(""), Sz("S"), Sz("W")}));
  Settings overwritten = kFilled;  // empty texts overwrite what was there
  ASSERT_TRUE(LoadSettings(overwritten, registry));
  Settings unchosen;
  std::tie(unchosen.NS, unchosen.EW) = std::pair('S', 'W');
  EXPECT_EQ(overwritten, unchosen);
  registry.WriteValue(kSettingsKey, "NS", Sz("s"));
  registry.WriteValue(kSettingsKey, "EW", Sz("w"));
  EXPECT_EQ(std::string({Loaded().NS, Loaded().EW}), "NE");
  registry.WriteValue(kSettingsKey, "NS", RegValue{RegType::Sz, {'S', 0, 0, 0}});
  registry.WriteValue(kSettingsKey, "EW", RegValue{RegType::Sz, {'W', 0, 0, 0, 'x', 0}});
  EXPECT_EQ(std::string({Loaded().NS, Loaded().EW}), "SW");
}

// Texts of every length up to the 32 bytes read of the address and port
// name, each followed by numbers that must still load; a Mount over the 64
// bytes read stops the load before anything (Mount is read first).
TEST_F(SettingsTest, TextsUpToAndPastTheirReadCapacity) {
  Settings settings = kFilled;
  settings.Mount = std::string(1000, 'm');
  EXPECT_EQ(settings.Mount.size(), 63u);  // the field is never overrun
  for (size_t length = 0; length <= 16; ++length) {
    settings.Mount = std::string(32, 'm');
    settings.CasterAddress = std::string(length, '7');
    settings.SerialPort = std::string(length, 'C');
    settings.Port = 40000 + static_cast<int32_t>(length);
    settings.Coordinate = kCoordinateAutonomous;
    ASSERT_TRUE(SaveSettings(settings, registry));
    settings.CasterOctets = {0, 0, 0, 0};
    ParseCasterAddress(settings.CasterAddress.view(), settings.CasterOctets);
    EXPECT_EQ(Loaded(), settings) << length;
  }
  settings.Mount = std::string(33, 'm');
  ASSERT_TRUE(SaveSettings(settings, registry));
  EXPECT_EQ(registry.ReadValue(kSettingsKey, "Mount")->Bytes.size(), 66u);
  EXPECT_EQ(Loaded(false), Settings{});
}

// A device that never stored a value, or stored a number in more than four
// bytes: the load stops there, with the fields read before it.
TEST_F(SettingsTest, LoadStopsAtTheFirstValueItCannotRead) {
  ASSERT_TRUE(SaveSettings(kFilled, registry));
  // The address is parsed only after Interval. (The texts not read are named
  // all the same, for the compiler's missing-initializer warning.)
  // clang-format off
  const Settings upToPort = {.CasterAddress = kFilled.CasterAddress, .Mount = kFilled.Mount,
      .PassWord = kFilled.PassWord, .SerialPort = {}};
  const Settings upToInterval = {.CasterAddress = kFilled.CasterAddress, .Port = kFilled.Port,
      .Mount = kFilled.Mount, .PassWord = kFilled.PassWord, .ReConnect_Times = 7,
      .SerialPort = {}};
  const Settings upToEw = {.CasterAddress = kFilled.CasterAddress,
      .CasterOctets = kFilled.CasterOctets, .Port = kFilled.Port, .Mount = kFilled.Mount,
      .PassWord = kFilled.PassWord, .ReConnect_Times = 7, .Interval = 30,
      .SerialPort = kFilled.SerialPort, .SerialPortRate = 115200, .NS = 'N'};
  // clang-format on
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

TEST_F(SettingsTest, CoordinateTextsParseLikeWcstodInDecimalFormOnly) {
  ASSERT_TRUE(SaveSettings(kFilled, registry));
  const std::pair<const char*, double> cases[] = {
      {"  -31.25xyz", -31.25}, {"not a number", 0.0}, {"+1.5e2", 150.0}, {".5e", 0.5},
      {"7.e-1", 0.7},          {"-.", 0.0},           {"nan", 0.0},      {"-INF", 0.0},
      {"infinity", 0.0},       {"0x1p4", 0.0},        {"1e999", 0.0},    {"-1e-999", -0.0},
  };
  for (const auto& [text, expected] : cases) {
    registry.WriteValue(kSettingsKey, "BaseLat", Sz(text));
    EXPECT_EQ(Loaded().BaseLat, expected) << text;
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
