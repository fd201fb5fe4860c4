// The one configuration record of Corvane, its registry form and the parse of
// the caster address. Only the UI thread reads or writes a Settings.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "config/FixedText.h"

namespace corvane {

class RegistryStore;

// Receiver types (GPSBoard).
inline constexpr int32_t kBoardNovAtel = 0;
inline constexpr int32_t kBoardTrimble = 4;

// Correction formats (DiffType); the value is the index in the Config list.
inline constexpr int32_t kDiffCmr = 0;
inline constexpr int32_t kDiffCmrPlus = 1;
inline constexpr int32_t kDiffRtd = 2;
inline constexpr int32_t kDiffRtcm23 = 3;
inline constexpr int32_t kDiffRtcm30 = 4;
inline constexpr int32_t kDiffRtcm32 = 5;

// Coordinate: where the base position comes from.
inline constexpr int32_t kCoordinateInput = 0;
inline constexpr int32_t kCoordinateAutonomous = 1;

// The registry key, under HKEY_LOCAL_MACHINE.
inline constexpr std::string_view kSettingsKey = "HKEY_LOCAL_MACHINE\\software\\Corvane\\RuduzUze";

struct Settings {
  FixedText<32> CasterAddress;            // dotted IPv4 address
  std::array<int32_t, 4> CasterOctets{};  // derived from CasterAddress, never stored
  int32_t Port = 0;                       // caster TCP port
  FixedText<64> Mount;
  FixedText<64> PassWord;
  int32_t ReConnect_Times = 4;  // restarts allowed after a failure
  int32_t Interval = 0;         // restart wait, seconds as entered
  FixedText<32> SerialPort;     // "COM1".."COM9"
  int32_t SerialPortRate = 0;   // baud
  int32_t GPSBoard = kBoardNovAtel;
  int32_t DiffType = kDiffCmr;
  int32_t Coordinate = kCoordinateInput;
  char NS = '\0';        // 'N' or 'S'; zero until chosen
  char EW = '\0';        // 'E' or 'W'; zero until chosen
  double BaseLat = 0.0;  // decimal degrees, as entered
  double BaseLon = 0.0;  // decimal degrees, as entered
  double BaseH = 0.0;    // metres, as entered

  bool operator==(const Settings&) const = default;
};

// Reads every value of the key in the fixed order; stops at the first value
// that is missing or larger than its read capacity, keeping what was read.
bool LoadSettings(Settings& settings, RegistryStore& registry);

// Writes every field in the fixed order and flushes the key to the file.
bool SaveSettings(const Settings& settings, RegistryStore& registry);

// Splits the text at its first three dots and converts each part as atoi
// does; parts that are missing give 0. Never reads past the end of the text.
void ParseCasterAddress(std::string_view text, std::array<int32_t, 4>& octets);

}  // namespace corvane
