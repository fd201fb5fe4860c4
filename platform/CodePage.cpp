#include "platform/CodePage.h"

#include <array>
#include <cstdint>

namespace corvane {

namespace {

// Bytes 0x80-0x9F of Windows-1252; the five unassigned bytes map to the C1
// controls of the same value, as the Windows conversion does.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ByteToUnit(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return byte;
}

char UnitToByte(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

}  // namespace

std::u16string AnsiToWide(std::string_view ansi) {
  std::u16string wide;
  wide.reserve(ansi.size());
  for (char c : ansi) {
    if (c == '\0') break;
    wide.push_back(ByteToUnit(static_cast<unsigned char>(c)));
  }
  return wide;
}

std::string WideToAnsi(std::u16string_view wide) {
  std::string ansi;
  ansi.reserve(wide.size());
  for (char16_t unit : wide) {
    if (unit == u'\0') break;
    ansi.push_back(UnitToByte(unit));
  }
  return ansi;
}

size_t WideToAnsi(std::u16string_view wide, char* dest, size_t capacity) {
  size_t produced = 0;
  for (char16_t unit : wide) {
    if (unit == u'\0' || produced == capacity) break;
    dest[produced++] = UnitToByte(unit);
  }
  if (produced < capacity) dest[produced++] = '\0';
  return produced;
}

std::vector<uint8_t> Utf16LeBytes(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

std::u16string FromUtf16LeBytes(const std::vector<uint8_t>& bytes) {
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return text;
}

}  // namespace corvane
