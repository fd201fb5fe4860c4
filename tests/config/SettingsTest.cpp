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
  registry.CreateKey(kSettingsKey);
  EXPECT_EQ(Loaded(false), Settings{});  // a first run, or no value yet: the initial values
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
// are saved as S and W. Only upper-case letters are read back as S and W;
// the text ends at a terminator, as another writer may have stored one.
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
  registry.WriteValue(kSettingsKey, "EW", RegValue{RegType::Sz, {'W', 0, 0, 0, 'x', 0}});
  EXPECT_EQ(std::string({Loaded().NS, Loaded().EW}), "NW");
}

// Texts of every length up to the 32 bytes read of the address and port
// name, each followed by numbers that must still load; a Mount over the 64
// bytes read stops the load before anything (Mount is read first).
TEST_F(SettingsTest, TextsUpToAndPastTheirReadCapacity) {
  Settings settings = kFilled;
  settings.Mount = std::string(1000, 'm');
  EXPECT_EQ(settings.Mount.size(), 63u);  // the field is never overrun
  settings.Mount = std::string(32, 'm');
  for (size_t length = 0; length <= 16; ++length) {
    settings.CasterAddress = std::string(length, '7');
    settings.SerialPort = std::string(length, 'C');
    ParseCasterAddress(settings.CasterAddress.view(), settings.CasterOctets);
    ASSERT_TRUE(SaveSettings(settings, registry));
    EXPECT_EQ(Loaded(), settings) << length;
  }
  settings.Mount = std::string(33, 'm');
  ASSERT_TRUE(SaveSettings(settings, registry));
  EXPECT_EQ(Loaded(false), Settings{});
}

// A number stored in more than four bytes stops the load there, with the
// fields read before it: the address is parsed only after Interval.
TEST_F(SettingsTest, LoadStopsAtAnOversizedNumber) {
  ASSERT_TRUE(SaveSettings(kFilled, registry));
  registry.WriteValue(kSettingsKey, "Port", RegValue{RegType::Dword, {0x35, 0x08, 0, 0, 0}});
  // SerialPort, not read, is named for the compiler's missing-initializer
  // warning.
  EXPECT_EQ(Loaded(false), (Settings{.CasterAddress = kFilled.CasterAddress,
                                     .Mount = kFilled.Mount,
                                     .PassWord = kFilled.PassWord,
                                     .SerialPort = {}}));
}

TEST(ParseCasterAddressTest, NeverReadsPastTheText) {
  const std::pair<std::string, std::array<int32_t, 4>> cases[] = {
      {"1.2.3.4.5", {1, 2, 3, 4}}, {" 10.0.0.1x", {10, 0, 0, 1}},
      {"-1.+2.3.", {-1, 2, 3, 0}}, {"", {0, 0, 0, 0}},
      {"172.16", {172, 16, 0, 0}}, {"99999999999.1.2.3", {INT32_MAX, 1, 2, 3}},
  };
  for (const auto& [text, expected] : cases) {
    std::array<int32_t, 4> octets{9, 9, 9, 9};
    ParseCasterAddress(text, octets);
    EXPECT_EQ(octets, expected) << text;
  }
}

}  // namespace
}  // namespace corvane::testing
