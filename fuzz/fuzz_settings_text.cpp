// Arbitrary text as the caster address and the coordinate and number texts
// of the settings, in a buffer of its exact size so that ASan sees any read
// past it. The first byte picks the parser. Each must
//  - read the text only up to its first zero byte, as a C string ends;
//  - for a coordinate, give a finite value (never nan or inf, which would be
//    sent to the receiver), whose stored form ("%.9f", "%.4f") reads back to
//    the same stored form;
//  - for a whole number, read back what it gave when that is written out;
// and nothing overflows (UBSan).
// Seeds (fuzz/corpus/settings_text/): addresses as typed and as stored, and
// coordinate and number texts, each behind its selector byte.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "config/NumberText.h"
#include "config/Settings.h"

namespace {

using namespace corvane;

void Check(bool holds) {
  if (!holds) std::abort();
}

void CheckAddress(std::string_view text, std::string_view upToZero) {
  std::array<int32_t, 4> octets{};
  std::array<int32_t, 4> again{};
  ParseCasterAddress(text, octets);
  ParseCasterAddress(upToZero, again);
  Check(octets == again);
}

void CheckCoordinate(std::string_view text, std::string_view upToZero) {
  const double value = ParseLeadingDouble(text);
  Check(std::isfinite(value));
  Check(value == ParseLeadingDouble(upToZero));
  for (const int decimals : {9, 4}) {
    const std::string stored = FormatFixed(value, decimals);
    Check(FormatFixed(ParseLeadingDouble(stored), decimals) == stored);
  }
}

void CheckWholeNumbers(std::string_view text, std::string_view upToZero) {
  const int32_t whole = ParseWholeNumber(text);
  Check(whole == ParseWholeNumber(upToZero));
  Check(ParseWholeNumber(std::to_string(whole)) == whole);
  const int32_t leading = ParseLeadingInt(text);
  Check(leading == ParseLeadingInt(upToZero));
  Check(ParseLeadingInt(std::to_string(leading)) == leading);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const auto copy = std::make_unique<char[]>(size - 1);
  std::copy(data + 1, data + size, copy.get());
  const std::string_view text(copy.get(), size - 1);
  const std::string_view upToZero = text.substr(0, text.find('\0'));
  switch (data[0] % 3) {
    case 0:
      CheckAddress(text, upToZero);
      break;
    case 1:
      CheckCoordinate(text, upToZero);
      break;
    default:
      CheckWholeNumbers(text, upToZero);
      break;
  }
  return 0;
}
