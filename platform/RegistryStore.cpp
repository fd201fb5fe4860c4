#include "platform/RegistryStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/CodePage.h"

namespace corvane {

namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\t' || text.back() == u'\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Splits into logical lines: a line ending in a backslash continues on the
// next one (regedit wraps long hex lists that way).
std::vector<std::u16string> LogicalLines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  std::u16string pending;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.back() == u'\\') {
      line.remove_suffix(1);
      pending.append(line);
      continue;
    }
    pending.append(line);
    lines.push_back(std::move(pending));
    pending.clear();
  }
  if (!pending.empty()) lines.push_back(std::move(pending));
  return lines;
}

// Reads a quoted string with regedit's two escapes (\\ and \") starting at
// `pos` (on the opening quote); leaves `pos` after the closing quote.
std::optional<std::u16string> ReadQuoted(std::u16string_view line, size_t& pos) {
  if (pos >= line.size() || line[pos] != u'"') return std::nullopt;
  std::u16string out;
  for (++pos; pos < line.size(); ++pos) {
    const char16_t c = line[pos];
    if (c == u'"') {
      ++pos;
      return out;
    }
    if (c == u'\\' && pos + 1 < line.size()) {
      out.push_back(line[++pos]);
      continue;
    }
    out.push_back(c);
  }
  return std::nullopt;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

std::optional<std::vector<uint8_t>> ParseHexList(std::u16string_view list) {
  std::vector<uint8_t> bytes;
  list = Trim(list);
  while (!list.empty()) {
    if (list.size() < 2) return std::nullopt;
    const int high = HexDigit(list[0]);
    const int low = HexDigit(list[1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    list = Trim(list.substr(2));
    if (list.empty()) break;
    if (list.front() != u',') return std::nullopt;
    list = Trim(list.substr(1));
  }
  return bytes;
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

// Parses what stands after "name=": a quoted text, dword:, hex: or hex(N):.
std::optional<RegValue> ParseData(std::u16string_view data) {
  data = Trim(data);
  if (!data.empty() && data.front() == u'"') {
    size_t pos = 0;
    auto text = ReadQuoted(data, pos);
    if (!text || !Trim(data.substr(pos)).empty()) return std::nullopt;
    return RegValue{RegType::Sz, Utf16Bytes(*text)};
  }
  if (data.starts_with(u"dword:")) {
    const std::u16string_view digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (char16_t c : digits) {
      const int digit = HexDigit(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    return RegValue{RegType::Dword,
                    {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                     static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
  }
  RegType type = RegType::Binary;
  std::u16string_view list;
  if (data.starts_with(u"hex:")) {
    list = data.substr(4);
  } else if (data.starts_with(u"hex(")) {
    const size_t close = data.find(u"):");
    if (close == std::u16string_view::npos || close == 4 || close > 12) return std::nullopt;
    uint32_t number = 0;
    for (char16_t c : data.substr(4, close - 4)) {
      const int digit = HexDigit(c);
      if (digit < 0) return std::nullopt;
      number = number * 16 + static_cast<uint32_t>(digit);
    }
    type = static_cast<RegType>(number);
    list = data.substr(close + 2);
  } else {
    return std::nullopt;
  }
  auto bytes = ParseHexList(list);
  if (!bytes) return std::nullopt;
  return RegValue{type, std::move(*bytes)};
}

std::string Narrow(std::u16string_view text) {
  return WideToAnsi(text);
}

void EraseValue(RegKeyData& key, std::string_view name) {
  std::erase_if(key.Values, [&](const auto& entry) { return SameName(entry.first, name); });
}

void PutValue(RegKeyData& key, std::string_view name, RegValue value) {
  for (auto& entry : key.Values) {
    if (SameName(entry.first, name)) {
      entry.second = std::move(value);
      return;
    }
  }
  key.Values.emplace_back(std::string(name), std::move(value));
}

std::u16string Escape(std::u16string_view text) {
  std::u16string out;
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out.push_back(u'\\');
    out.push_back(c);
  }
  return out;
}

// A text value that reads back the same from its quoted form: whole UTF-16
// units, no terminator, no zero unit and no line break inside.
std::optional<std::u16string> QuotableText(const RegValue& value) {
  if (value.Type != RegType::Sz || value.Bytes.size() % 2 != 0) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i < value.Bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(value.Bytes[i] | (value.Bytes[i + 1] << 8));
    if (unit == u'\0' || unit == u'\r' || unit == u'\n') return std::nullopt;
    text.push_back(unit);
  }
  return text;
}

std::u16string FormatData(const RegValue& value) {
  if (auto text = QuotableText(value)) return u"\"" + Escape(*text) + u"\"";
  if (value.Type == RegType::Dword && value.Bytes.size() == 4) {
    const uint32_t number = value.Bytes[0] | (value.Bytes[1] << 8) | (value.Bytes[2] << 16) |
                            (static_cast<uint32_t>(value.Bytes[3]) << 24);
    char digits[16];
    std::snprintf(digits, sizeof digits, "dword:%08x", number);
    return AnsiToWide(digits);
  }
  char prefix[24];
  if (value.Type == RegType::Binary) {
    std::snprintf(prefix, sizeof prefix, "hex:");
  } else {
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.Type));
  }
  std::string list = prefix;
  for (size_t i = 0; i < value.Bytes.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ",%02x", value.Bytes[i]);
    list += byte;
  }
  return AnsiToWide(list);
}

std::u16string DecodeFile(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE) {
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                           (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    }
    return text;
  }
  std::u16string text;
  text.reserve(bytes.size());
  for (char c : bytes) text.append(AnsiToWide(std::string_view(&c, 1)));
  return text;
}

std::string Stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

}  // namespace

std::optional<std::vector<RegKeyData>> ParseRegistryText(std::u16string_view text) {
  std::vector<RegKeyData> keys;
  const std::vector<std::u16string> lines = LogicalLines(text);
  bool headerSeen = false;
  RegKeyData* current = nullptr;
  for (const std::u16string& line : lines) {
    if (line.empty() || line.front() == u';') continue;
    if (!headerSeen) {
      if (line != kHeader5 && line != kHeader4) return std::nullopt;
      headerSeen = true;
      continue;
    }
    if (line.front() == u'[') {
      if (line.back() != u']' || line.size() < 3) return std::nullopt;
      std::u16string_view path(line);
      path = path.substr(1, path.size() - 2);
      if (path.front() == u'-') {  // a deletion entry: the key is not there
        const std::string gone = Narrow(path.substr(1));
        std::erase_if(keys, [&](const RegKeyData& key) { return SameName(key.Path, gone); });
        current = nullptr;
        continue;
      }
      const std::string name = Narrow(path);
      auto found = std::find_if(keys.begin(), keys.end(),
                                [&](const RegKeyData& key) { return SameName(key.Path, name); });
      if (found == keys.end()) {
        keys.push_back(RegKeyData{name, {}});
        current = &keys.back();
      } else {
        current = &*found;
      }
      continue;
    }
    if (current == nullptr) return std::nullopt;
    size_t pos = 0;
    std::string name;
    if (line.front() == u'@') {
      pos = 1;
    } else {
      auto quoted = ReadQuoted(line, pos);
      if (!quoted) return std::nullopt;
      name = Narrow(*quoted);
    }
    while (pos < line.size() && line[pos] == u' ') ++pos;
    if (pos >= line.size() || line[pos] != u'=') return std::nullopt;
    const std::u16string_view data = Trim(std::u16string_view(line).substr(pos + 1));
    if (data == u"-") {
      EraseValue(*current, name);
      continue;
    }
    auto value = ParseData(data);
    if (!value) return std::nullopt;
    PutValue(*current, name, std::move(*value));
  }
  if (!headerSeen) return std::nullopt;
  return keys;
}

std::u16string FormatRegistryText(const std::vector<RegKeyData>& keys) {
  std::u16string text(kHeader5);
  text += u"\r\n\r\n";
  for (const RegKeyData& key : keys) {
    text += u"[" + AnsiToWide(key.Path) + u"]\r\n";
    for (const auto& [name, value] : key.Values) {
      text += name.empty() ? u"@" : u"\"" + Escape(AnsiToWide(name)) + u"\"";
      text += u"=" + FormatData(value) + u"\r\n";
    }
    text += u"\r\n";
  }
  return text;
}

RegistryStore::RegistryStore(std::filesystem::path file) : file_(std::move(file)) {
  std::ifstream in(file_, std::ios::binary);
  if (!in) return;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  auto keys = ParseRegistryText(DecodeFile(bytes));
  if (keys) {
    keys_ = std::move(*keys);
    return;
  }
  std::filesystem::path aside = file_;
  aside += ".bad-" + Stamp();
  std::error_code error;
  std::filesystem::rename(file_, aside, error);
  std::fprintf(stderr, "corvane: %s is not a registry export; kept aside as %s\n", file_.c_str(),
               error ? "(rename failed)" : aside.c_str());
}

RegKeyData* RegistryStore::FindKey(std::string_view key) {
  for (RegKeyData& entry : keys_) {
    if (SameName(entry.Path, key)) return &entry;
  }
  return nullptr;
}

const RegKeyData* RegistryStore::FindKey(std::string_view key) const {
  for (const RegKeyData& entry : keys_) {
    if (SameName(entry.Path, key)) return &entry;
  }
  return nullptr;
}

bool RegistryStore::KeyExists(std::string_view key) const {
  return FindKey(key) != nullptr;
}

std::optional<RegValue> RegistryStore::ReadValue(std::string_view key,
                                                 std::string_view name) const {
  const RegKeyData* entry = FindKey(key);
  if (entry == nullptr) return std::nullopt;
  for (const auto& [valueName, value] : entry->Values) {
    if (SameName(valueName, name)) return value;
  }
  return std::nullopt;
}

void RegistryStore::CreateKey(std::string_view key) {
  if (FindKey(key) == nullptr) keys_.push_back(RegKeyData{std::string(key), {}});
}

void RegistryStore::WriteValue(std::string_view key, std::string_view name, RegValue value) {
  CreateKey(key);
  PutValue(*FindKey(key), name, std::move(value));
}

bool RegistryStore::Flush() {
  const std::u16string text = FormatRegistryText(keys_);
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  std::error_code ignored;
  if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ignored);
  std::filesystem::path temporary = file_;
  temporary += ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::fchmod(fd, 0600);  // an older temporary file may carry wider rights
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool ok = written == bytes.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(temporary.c_str(), file_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (file_.has_parent_path()) {
    const int dir = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
  }
  return true;
}

}  // namespace corvane
