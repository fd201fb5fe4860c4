// Numbers in settings texts, read and written the way the C library does in
// the "C" locale, whatever locale the process runs in: a decimal comma never
// appears in the registry or in an edit, and is never expected there. A text
// ends at its first zero byte, as a C string does.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {
// atoi: leading white space, an optional sign, decimal digits up to the first
// other character; no digits gives 0. Values beyond 32 bits saturate.
int32_t ParseLeadingInt(std::string_view text);

// An edit's integer value: optional white space around an optionally signed
// decimal number and nothing else; any other text, or a value beyond 32 bits,
// reads as 0.
int32_t ParseWholeNumber(std::string_view text);

// strtod in the "C" locale, decimal form only: the longest leading number
// (white space, sign, digits, point, exponent). Text that is not such a
// number, "nan", "inf", a hexadecimal number and a value beyond the range of
// a double all give 0.0.
double ParseLeadingDouble(std::string_view text);

// printf "%.<decimals>f" in the "C" locale.
std::string FormatFixed(double value, int decimals);

}  // namespace corvane
