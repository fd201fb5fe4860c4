// A registry of keys and typed values kept in one text file in the regedit
// export format. It keeps key paths and value names (matched without regard
// to case), the value types and the exact bytes of each value: a text value
// written as 2 x N bytes reads back as exactly 2 x N bytes, no terminator.
//
// It reads exports of both flavours ("REGEDIT4" in the ANSI code page and
// "Windows Registry Editor Version 5.00" in UTF-16LE with a byte-order mark)
// and writes the second. A quoted text value is taken as its characters with
// no terminator, the way this system stores its own texts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum class RegType : uint32_t {
  None = 0,
  Sz = 1,
  ExpandSz = 2,
  Binary = 3,
  Dword = 4,
  MultiSz = 7,
};

struct RegValue {
  RegType Type = RegType::None;
  std::vector<uint8_t> Bytes;
};

// Parses regedit export text (already decoded to UTF-16) into keys; returns
// nothing when a line is not of the format.
struct RegKeyData {
  std::string Path;  // as first written, e.g. HKEY_LOCAL_MACHINE\software\X
  std::vector<std::pair<std::string, RegValue>> Values;  // in file order
};
std::optional<std::vector<RegKeyData>> ParseRegistryText(std::u16string_view text);

// Formats keys as a version 5 export (UTF-16 text, CR LF line ends).
std::u16string FormatRegistryText(const std::vector<RegKeyData>& keys);

class RegistryStore {
 public:
  // The file is read at construction. A missing file is an empty registry; a
  // file that cannot be parsed is renamed aside to <file>.bad-<time>,
  // reported on stderr, and the registry starts empty.
  explicit RegistryStore(std::filesystem::path file);

  bool KeyExists(std::string_view key) const;
  // The value, or nothing when the key or the value is missing.
  std::optional<RegValue> ReadValue(std::string_view key, std::string_view name) const;
  // Creates the key when it is missing.
  void WriteValue(std::string_view key, std::string_view name, RegValue value);
  void CreateKey(std::string_view key);
  // Writes the whole registry atomically (temporary file, fsync, rename),
  // mode 0600. False when the file could not be written.
  bool Flush();

  const std::filesystem::path& File() const { return file_; }

 private:
  RegKeyData* FindKey(std::string_view key);
  const RegKeyData* FindKey(std::string_view key) const;

  std::filesystem::path file_;
  std::vector<RegKeyData> keys_;
};

}  // namespace corvane
