// A zero-terminated single-byte text with a fixed capacity in bytes
// (terminator included), as the settings record holds its texts. Whatever
// comes in is cut to fit, so the field can never be overrun.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace corvane {

template <size_t Capacity>
class FixedText {
  static_assert(Capacity >= 1);

 public:
  static constexpr size_t kCapacity = Capacity;
  static constexpr size_t kMaxLength = Capacity - 1;

  FixedText() = default;
  FixedText(std::string_view text) { Assign(text); }  // NOLINT: reads like the char array it is

  // Takes the text up to its first zero byte, cut to kMaxLength bytes.
  void Assign(std::string_view text) {
    const size_t zero = text.find('\0');
    if (zero != std::string_view::npos) text = text.substr(0, zero);
    const size_t length = std::min(text.size(), kMaxLength);
    std::memcpy(bytes_.data(), text.data(), length);
    bytes_[length] = '\0';
  }
  FixedText& operator=(std::string_view text) {
    Assign(text);
    return *this;
  }

  const char* c_str() const { return bytes_.data(); }
  std::string_view view() const { return std::string_view(bytes_.data()); }
  std::string str() const { return std::string(view()); }
  size_t size() const { return view().size(); }
  bool empty() const { return bytes_[0] == '\0'; }
  // The raw buffer, for code that fills it the way the original did.
  char* data() { return bytes_.data(); }

  friend bool operator==(const FixedText& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const FixedText& a, const FixedText& b) { return a.view() == b.view(); }

 private:
  std::array<char, Capacity> bytes_{};
};

}  // namespace corvane
