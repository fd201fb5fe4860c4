#include "config/NumberText.h"

#include <locale.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

constexpr const char* kWhiteSpace = " \t\n\v\f\r";

// strchr also finds the terminator: a zero byte ends a text, it is no space.
bool IsWhiteSpace(char c) {
  return c != '\0' && std::strchr(kWhiteSpace, c) != nullptr;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

size_t SkipWhiteSpace(std::string_view text, size_t pos) {
  while (pos < text.size() && IsWhiteSpace(text[pos])) ++pos;
  return pos;
}

size_t SkipDigits(std::string_view text, size_t pos) {
  while (pos < text.size() && IsDigit(text[pos])) ++pos;
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
  for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
    value = value * 10 + (text[pos] - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}

int32_t ParseWholeNumber(std::string_view text) {
  text = text.substr(0, text.find('\0'));  // the whole text, as the C library sees it
  size_t pos = SkipWhiteSpace(text, 0);
  size_t end = text.size();
  while (end > pos && IsWhiteSpace(text[end - 1])) --end;
  if (pos < end && text[pos] == '+' && pos + 1 < end && text[pos + 1] != '-') ++pos;
  int32_t value = 0;
  const auto result = std::from_chars(text.data() + pos, text.data() + end, value);
  if (result.ec != std::errc() || result.ptr != text.data() + end) return 0;
  return value;
}

double ParseLeadingDouble(std::string_view text) {
  // strtod alone would also read "nan", "inf" and hexadecimal numbers, none
  // of which may reach a receiver: only the decimal form is handed to it.
  const size_t begin = SkipWhiteSpace(text, 0);
  size_t pos = begin;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  const size_t integer = pos;
  pos = SkipDigits(text, pos);
  bool digits = pos > integer;
  if (pos < text.size() && text[pos] == '.') {
    const size_t fraction = pos + 1;
    pos = SkipDigits(text, fraction);
    digits = digits || pos > fraction;
  }
  if (!digits) return 0.0;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    size_t exponent = pos + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    if (exponent < text.size() && IsDigit(text[exponent])) pos = SkipDigits(text, exponent);
  }
  const std::string number(text.substr(begin, pos - begin));
  const double value = strtod_l(number.c_str(), nullptr, ClassicLocale());
  return std::isfinite(value) ? value : 0.0;  // beyond the range of a double
}

std::string FormatFixed(double value, int decimals) {
  // Room for the longest double in fixed notation (309 digits) and decimals.
  char buffer[400];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return std::string(buffer, result.ptr);
}

}  // namespace corvane
