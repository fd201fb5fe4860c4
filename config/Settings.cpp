#include "config/Settings.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "config/NumberText.h"
#include "platform/CodePage.h"
#include "platform/RegistryStore.h"

namespace corvane {

namespace {

// Read capacities in bytes, as the original reads them.
constexpr size_t kTextBuffer = 128;
constexpr size_t kDwordSize = 4;

// Reads a text value of at most `capacity` bytes; the text ends at the stored
// length or at its first zero unit.
std::optional<std::u16string> ReadText(const RegistryStore& registry, std::string_view name,
                                       size_t capacity) {
  const auto value = registry.ReadValue(kSettingsKey, name);
  if (!value || value->Bytes.size() > capacity) return std::nullopt;
  std::u16string text = FromUtf16LeBytes(value->Bytes);
  text.resize(std::min(text.find(u'\0'), text.size()));
  return text;
}

template <size_t N>
bool ReadTextField(const RegistryStore& registry, std::string_view name, size_t capacity,
                   FixedText<N>& field) {
  const auto text = ReadText(registry, name, capacity);
  if (!text) return false;
  char converted[N];
  WideToAnsi(*text, converted, N);
  converted[N - 1] = '\0';  // a text as long as the field is cut to fit
  field = std::string_view(converted);
  return true;
}

// A value shorter than four bytes fills only the low bytes, as a registry read
// into an integer does.
bool ReadDword(const RegistryStore& registry, std::string_view name, int32_t& field) {
  const auto value = registry.ReadValue(kSettingsKey, name);
  if (!value || value->Bytes.size() > kDwordSize) return false;
  uint32_t bits = static_cast<uint32_t>(field);
  for (size_t i = 0; i < value->Bytes.size(); ++i) {
    bits &= ~(0xFFu << (8 * i));
    bits |= static_cast<uint32_t>(value->Bytes[i]) << (8 * i);
  }
  field = static_cast<int32_t>(bits);
  return true;
}

bool ReadDouble(const RegistryStore& registry, std::string_view name, double& field) {
  const auto text = ReadText(registry, name, kTextBuffer);
  if (!text) return false;
  field = ParseLeadingDouble(WideToAnsi(*text));
  return true;
}

}  // namespace

void ParseCasterAddress(std::string_view text, std::array<int32_t, 4>& octets) {
  const size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  for (size_t i = 0; i < octets.size(); ++i) {
    const size_t dot = i < 3 ? text.find('.') : std::string_view::npos;
    if (dot == std::string_view::npos) {
      octets[i] = ParseLeadingInt(text);
      for (size_t rest = i + 1; rest < octets.size(); ++rest) octets[rest] = 0;
      return;
    }
    octets[i] = ParseLeadingInt(text.substr(0, dot));
    text = text.substr(dot + 1);
  }
}

bool LoadSettings(Settings& settings, RegistryStore& registry) {
  if (!registry.KeyExists(kSettingsKey)) return false;
  if (!ReadTextField(registry, "Mount", 64, settings.Mount)) return false;
  if (!ReadTextField(registry, "PassWord", 64, settings.PassWord)) return false;
  if (!ReadTextField(registry, "CasterAddress", 32, settings.CasterAddress)) return false;
  if (!ReadDword(registry, "Port", settings.Port)) return false;
  if (!ReadDword(registry, "ReConnect_Times", settings.ReConnect_Times)) return false;
  if (!ReadDword(registry, "Interval", settings.Interval)) return false;
  ParseCasterAddress(settings.CasterAddress.view(), settings.CasterOctets);
  if (!ReadDword(registry, "SerialPortRate", settings.SerialPortRate)) return false;
  if (!ReadTextField(registry, "SerialPort", 32, settings.SerialPort)) return false;
  const auto ns = ReadText(registry, "NS", kTextBuffer);
  if (!ns) return false;
  settings.NS = *ns == u"S" ? 'S' : 'N';
  const auto ew = ReadText(registry, "EW", kTextBuffer);
  if (!ew) return false;
  settings.EW = *ew == u"W" ? 'W' : 'E';
  if (!ReadDword(registry, "Coordinate", settings.Coordinate)) return false;
  if (!ReadDword(registry, "GPSBoard", settings.GPSBoard)) return false;
  if (!ReadDword(registry, "DiffType", settings.DiffType)) return false;
  if (!ReadDouble(registry, "BaseLat", settings.BaseLat)) return false;
  if (!ReadDouble(registry, "BaseLon", settings.BaseLon)) return false;
  return ReadDouble(registry, "BaseH", settings.BaseH);
}

bool SaveSettings(const Settings& settings, RegistryStore& registry) {
  auto text = [&](std::string_view name, std::string_view value) {
    registry.WriteValue(kSettingsKey, name, RegValue{RegType::Sz, Utf16LeBytes(AnsiToWide(value))});
  };
  auto dword = [&](std::string_view name, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    registry.WriteValue(
        kSettingsKey, name,
        RegValue{RegType::Dword,
                 {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                  static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)}});
  };
  registry.CreateKey(kSettingsKey);
  text("CasterAddress", settings.CasterAddress.view());
  text("Mount", settings.Mount.view());
  text("PassWord", settings.PassWord.view());
  dword("Port", settings.Port);
  dword("ReConnect_Times", settings.ReConnect_Times);
  dword("Interval", settings.Interval);
  dword("SerialPortRate", settings.SerialPortRate);
  text("SerialPort", settings.SerialPort.view());
  text("NS", settings.NS == 'N' ? "N" : "S");
  text("EW", settings.EW == 'E' ? "E" : "W");
  dword("GPSBoard", settings.GPSBoard);
  dword("DiffType", settings.DiffType);
  dword("Coordinate", settings.Coordinate);
  text("BaseLat", FormatFixed(settings.BaseLat, 9));
  text("BaseLon", FormatFixed(settings.BaseLon, 9));
  text("BaseH", FormatFixed(settings.BaseH, 4));
  return registry.Flush();
}

}  // namespace corvane
