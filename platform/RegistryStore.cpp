#include "platform/RegistryStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <unordered_map>

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

// Parses what stands after "name=": a quoted text, dword:, hex: or hex(N):.
std::optional<RegValue> ParseData(std::u16string_view data) {
  data = Trim(data);
  if (!data.empty() && data.front() == u'"') {
    size_t pos = 0;
    auto text = ReadQuoted(data, pos);
    if (!text || !Trim(data.substr(pos)).empty()) return std::nullopt;
    return RegValue{RegType::Sz, Utf16LeBytes(*text)};
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

// A name as the registry compares it: ASCII letters without case.
std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = Lower(c);
  return folded;
}

// The keys of a file as its lines build them. Keys and values are found
// through maps of folded names, and a deletion only marks its entry, so that
// a line costs the same however many keys and values came before it.
class KeyBuilder {
 public:
  // The key's index; a missing key is added at the end.
  size_t Open(std::string path) {
    const auto [at, added] = keyAt_.try_emplace(Folded(path), keys_.size());
    if (added) keys_.push_back(Key{RegKeyData{std::move(path), {}}, {}, {}, false});
    return at->second;
  }
  void Delete(std::string_view path) {
    const auto at = keyAt_.find(Folded(path));
    if (at == keyAt_.end()) return;
    keys_[at->second].Gone = true;
    keyAt_.erase(at);
  }
  void Put(size_t index, std::string name, RegValue value) {
    Key& key = keys_[index];
    const auto [at, added] = key.ValueAt.try_emplace(Folded(name), key.Data.Values.size());
    if (added) {
      key.Data.Values.emplace_back(std::move(name), std::move(value));
      key.ValueGone.push_back(false);
    } else {
      key.Data.Values[at->second].second = std::move(value);
    }
  }
  void Erase(size_t index, std::string_view name) {
    Key& key = keys_[index];
    const auto at = key.ValueAt.find(Folded(name));
    if (at == key.ValueAt.end()) return;
    key.ValueGone[at->second] = true;
    key.ValueAt.erase(at);
  }
  std::vector<RegKeyData> Finish() {
    std::vector<RegKeyData> keys;
    for (Key& key : keys_) {
      if (key.Gone) continue;
      RegKeyData& kept = keys.emplace_back(RegKeyData{std::move(key.Data.Path), {}});
      for (size_t i = 0; i < key.Data.Values.size(); ++i) {
        if (!key.ValueGone[i]) kept.Values.push_back(std::move(key.Data.Values[i]));
      }
    }
    return keys;
  }

 private:
  struct Key {
    RegKeyData Data;
    std::unordered_map<std::string, size_t> ValueAt;  // by folded name
    std::vector<bool> ValueGone;
    bool Gone;
  };
  std::vector<Key> keys_;
  std::unordered_map<std::string, size_t> keyAt_;  // by folded path
};

// Reads an export one logical line at a time.
class ExportParser {
 public:
  // Nothing when the line is of the format, else why it is not.
  const char* Take(std::u16string_view line);
  std::optional<std::vector<RegKeyData>> Finish() {
    if (!headerSeen_) return std::nullopt;
    return keys_.Finish();
  }

 private:
  KeyBuilder keys_;
  std::optional<size_t> current_;
  bool headerSeen_ = false;
};

const char* ExportParser::Take(std::u16string_view line) {
  if (line.empty() || line.front() == u';') return nullptr;
  if (!headerSeen_) {
    if (line != kHeader5 && line != kHeader4) return "not a regedit export header";
    headerSeen_ = true;
    return nullptr;
  }
  if (line.front() == u'[') {
    if (line.back() != u']' || line.size() < 3) return "a key line that is not [path]";
    const std::u16string_view path = line.substr(1, line.size() - 2);
    if (path.front() == u'-') {  // a deletion entry: the key is not there
      keys_.Delete(Narrow(path.substr(1)));
      current_.reset();
      return nullptr;
    }
    // Text ends at a zero character: a path that begins with one has no
    // text and would be written back as [], which no export may hold.
    std::string name = Narrow(path);
    if (name.empty()) return "a key path that begins with a zero character";
    current_ = keys_.Open(std::move(name));
    return nullptr;
  }
  if (!current_) return "a value outside any key";
  size_t pos = 0;
  std::string name;
  if (line.front() == u'@') {
    pos = 1;
  } else {
    auto quoted = ReadQuoted(line, pos);
    if (!quoted) return "a value name that is not quoted";
    name = Narrow(*quoted);
  }
  while (pos < line.size() && line[pos] == u' ') ++pos;
  if (pos >= line.size() || line[pos] != u'=') return "a value name without =";
  const std::u16string_view data = Trim(line.substr(pos + 1));
  if (data == u"-") {
    keys_.Erase(*current_, name);
    return nullptr;
  }
  auto value = ParseData(data);
  if (!value) return "value data that is not text, dword: or hex:";
  keys_.Put(*current_, std::move(name), std::move(*value));
  return nullptr;
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
  std::u16string text = FromUtf16LeBytes(value.Bytes);
  for (char16_t unit : text) {
    if (unit == u'\0' || unit == u'\r' || unit == u'\n') return std::nullopt;
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

// The bytes of the file; nothing when it is missing (`problem` stays empty)
// or cannot be read (`problem` says why). Opened without blocking, so that a
// pipe in its place cannot stall the start.
std::optional<std::string> ReadFile(const std::filesystem::path& file, std::string& problem) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) problem = std::strerror(errno);
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    problem = "not a regular file";
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return bytes;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string Stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

// Renames the file to <file>.bad-<time>, with -2, -3 ... after it while that
// name is taken: a file put aside never replaces an earlier one.
std::optional<std::string> PutAside(const std::filesystem::path& file, std::string& problem) {
  const std::string stem = file.string() + ".bad-" + Stamp();
  for (int n = 1; n <= 1000; ++n) {
    const std::string aside = n == 1 ? stem : stem + "-" + std::to_string(n);
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      return aside;
    }
    if (errno != EEXIST) break;
  }
  problem = std::strerror(errno);
  return std::nullopt;
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

}  // namespace

std::optional<std::vector<RegKeyData>> ParseRegistryText(std::u16string_view text,
                                                         std::string* error) {
  ExportParser parser;
  std::u16string joined;  // a line that ends in a backslash goes on in the next
  size_t number = 0;      // of the line read last
  size_t first = 0;       // of the line that began the joined one
  const char* reason = nullptr;
  for (size_t start = 0; start < text.size() && reason == nullptr;) {
    const size_t end = std::min(text.find(u'\n', start), text.size());
    const std::u16string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (first == 0) first = number;
    if (!line.empty() && line.back() == u'\\') {  // regedit wraps long hex lists so
      joined.append(line.substr(0, line.size() - 1));
      continue;
    }
    if (joined.empty()) {
      reason = parser.Take(line);
    } else {
      joined.append(line);
      reason = parser.Take(joined);
      joined.clear();
    }
    if (reason == nullptr) first = 0;
  }
  if (reason == nullptr && !joined.empty()) reason = parser.Take(joined);
  if (reason == nullptr) {
    if (auto keys = parser.Finish()) return keys;
    if (error != nullptr) *error = "no regedit export header";
    return std::nullopt;
  }
  if (error != nullptr) *error = "line " + std::to_string(first) + ": " + reason;
  return std::nullopt;
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

std::u16string DecodeRegistryFile(std::string_view bytes) {
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE) {
    text.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                           (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    }
    return text;
  }
  // Zero bytes are left out: they end no line of an ANSI export.
  text.reserve(bytes.size());
  for (size_t start = 0; start < bytes.size();) {
    const size_t zero = std::min(bytes.find('\0', start), bytes.size());
    text += AnsiToWide(bytes.substr(start, zero - start));
    start = zero + 1;
  }
  return text;
}

std::string EncodeRegistryFile(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + 2 * text.size());
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

RegistryStore::RegistryStore(std::filesystem::path file) : file_(std::move(file)) {
  if (!Load()) std::fprintf(stderr, "corvane: %s\n", loadProblem_.c_str());
}

bool RegistryStore::Load() {
  const std::string name = "Settings file " + file_.string();
  std::string problem;
  const auto bytes = ReadFile(file_, problem);
  if (!bytes && problem.empty()) return true;  // a first run
  if (!bytes) {
    // Settings that are on disk but not in memory must not be replaced by
    // the defaults at the next Save.
    mayReplace_ = false;
    loadProblem_ = name + " cannot be read (" + problem +
                   "): running with defaults, and Save will not replace it";
    return false;
  }
  auto keys = ParseRegistryText(DecodeRegistryFile(*bytes), &problem);
  if (keys) {
    keys_ = std::move(*keys);
    return true;
  }
  std::string asideProblem;
  if (const auto aside = PutAside(file_, asideProblem)) {
    loadProblem_ = name + " is not a registry export (" + problem + "): kept aside as " + *aside +
                   "; running with defaults";
    return false;
  }
  mayReplace_ = false;
  loadProblem_ = name + " is not a registry export (" + problem + ") and cannot be kept aside (" +
                 asideProblem + "): running with defaults, and Save will not replace it";
  return false;
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

bool RegistryStore::FailFlush(std::string reason) {
  flushError_ = std::move(reason);
  return false;
}

bool RegistryStore::Flush() {
  flushError_.clear();
  if (!mayReplace_) {
    return FailFlush(file_.string() + " was not loaded at start-up and is left as it is");
  }
  const std::u16string text = FormatRegistryText(keys_);
  // What the next start would read must be what is held now.
  if (ParseRegistryText(text) != keys_) {
    return FailFlush("the settings would not read back from " + file_.string());
  }
  const std::string bytes = EncodeRegistryFile(text);
  std::error_code ignored;
  if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ignored);
  // A new file of this writer's own: never one that another writer is
  // filling, never one reached through a planted link.
  std::string temporary = file_.string() + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return FailFlush("cannot create a file beside " + file_.string() + ": " + std::strerror(errno));
  }
  int error = ::fchmod(fd, 0600) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0 ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), file_.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return FailFlush("cannot write " + file_.string() + ": " + std::strerror(error));
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
