// Single-byte text in the device's ANSI code page (Windows-1252) and UTF-16,
// the form of the windows and the registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Converts single-byte text up to its first zero byte (or its end).
std::u16string AnsiToWide(std::string_view ansi);

// Converts UTF-16 up to its first zero unit (or its end); characters outside
// the code page become '?'.
std::string WideToAnsi(std::u16string_view wide);

// Converts into `dest`, writing at most `capacity` bytes and adding the
// terminator when the text is shorter than the capacity. Returns the number
// of bytes produced, terminator included.
size_t WideToAnsi(std::u16string_view wide, char* dest, size_t capacity);

// UTF-16 as little-endian bytes, the registry's form of a text: 2 bytes a
// unit, no terminator.
std::vector<uint8_t> Utf16LeBytes(std::u16string_view text);
// Whole units of the bytes; an odd last byte is left out.
std::u16string FromUtf16LeBytes(const std::vector<uint8_t>& bytes);

}  // namespace corvane
