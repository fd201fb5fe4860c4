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
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/NumberText.h"
#include "config/Settings.h"

namespace {

using namespace corvane;

bool AddressHolds(std::string_view text, std::string_view upToZero) {
  std::array<int32_t, 4> octets{};
  std::array<int32_t, 4> again{};
  ParseCasterAddress(text, octets);
  ParseCasterAddress(upToZero, again);
  return octets == again;
}

bool CoordinateHolds(std::string_view text, std::string_view upToZero) {
  const double value = ParseLeadingDouble(text);
  bool holds = std::isfinite(value) && value == ParseLeadingDouble(upToZero);
  for (const int decimals : {9, 4}) {
    const std::string stored = FormatFixed(value, decimals);
    holds = holds && FormatFixed(ParseLeadingDouble(stored), decimals) == stored;
  }
  return holds;
}

bool WholeNumbersHold(std::string_view text, std::string_view upToZero) {
  const int32_t whole = ParseWholeNumber(text);
  const int32_t leading = ParseLeadingInt(text);
  return whole == ParseWholeNumber(upToZero) && ParseWholeNumber(std::to_string(whole)) == whole &&
         leading == ParseLeadingInt(upToZero) &&
         ParseLeadingInt(std::to_string(leading)) == leading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::vector<char> copy(data + 1, data + size);
  const std::string_view text(copy.data(), copy.size());
  const std::string_view upToZero = text.substr(0, text.find('\0'));
  constexpr bool (*kHolds[])(std::string_view, std::string_view) = {AddressHolds, CoordinateHolds,
                                                                    WholeNumbersHold};
  if (!kHolds[data[0] % 3](text, upToZero)) std::abort();
  return 0;
}
