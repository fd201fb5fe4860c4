// Arbitrary text as the caster address and the coordinate and number texts
// of the settings, in a buffer of its exact size so that ASan sees any read
// past it; the first byte is not read (the seeds carry a tag naming the
// parser they were written for there). Each parser reads every input:
//  - a coordinate must be finite (never nan or inf, which would be sent to
//    the receiver), and its stored form ("%.9f", "%.4f") must read back to
//    the same stored form;
//  - a whole number must read back what it gave when that is written out;
// and nothing overflows (UBSan).
// Seeds (fuzz/corpus/settings_text/): addresses as typed and as stored, and
// coordinate and number texts, each behind its tag byte.
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/NumberText.h"
#include "config/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  if (size < 1) return 0;
  const std::vector<char> copy(data + 1, data + size);
  const std::string_view text(copy.data(), copy.size());
  std::array<int32_t, 4> octets{};
  ParseCasterAddress(text, octets);
  const double value = ParseLeadingDouble(text);
  bool holds = std::isfinite(value);
  for (const int decimals : {9, 4}) {
    const std::string stored = FormatFixed(value, decimals);
    holds = holds && FormatFixed(ParseLeadingDouble(stored), decimals) == stored;
  }
  const int32_t whole = ParseWholeNumber(text);
  const int32_t leading = ParseLeadingInt(text);
  holds = holds && ParseWholeNumber(std::to_string(whole)) == whole &&
          ParseLeadingInt(std::to_string(leading)) == leading;
  if (!holds) std::abort();
  return 0;
}
