#include "config/NumberText.h"

#include <locale.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

constexpr const char* kWhiteSpace = " \t\n\v\f\r";

size_t SkipWhiteSpace(std::string_view text, size_t pos) {
  while (pos < text.size() && std::strchr(kWhiteSpace, text[pos]) != nullptr) ++pos;
  return pos;
}

// The "C" locale, made once: the process locale follows the environment.
locale_t ClassicLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

int32_t ParseLeadingInt(std::string_view text) {
  size_t pos = SkipWhiteSpace(text, 0);
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = value * 10 + (text[pos] - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}

int32_t ParseWholeNumber(std::string_view text) {
  size_t pos = SkipWhiteSpace(text, 0);
  size_t end = text.size();
  while (end > pos && std::strchr(kWhiteSpace, text[end - 1]) != nullptr) --end;
  if (pos < end && text[pos] == '+' && pos + 1 < end && text[pos + 1] != '-') ++pos;
  int32_t value = 0;
  const auto result = std::from_chars(text.data() + pos, text.data() + end, value);
  if (result.ec != std::errc() || result.ptr != text.data() + end) return 0;
  return value;
}

double ParseLeadingDouble(std::string_view text) {
  const std::string terminated(text);
  return strtod_l(terminated.c_str(), nullptr, ClassicLocale());
}

std::string FormatFixed(double value, int decimals) {
  // Room for the longest double in fixed notation (309 digits) and decimals.
  char buffer[400];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return std::string(buffer, result.ptr);
}

}  // namespace corvane
