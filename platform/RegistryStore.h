// A registry of keys and typed values kept in one text file in the regedit
// export format. It keeps key paths and value names (matched without regard
// to case), the value types and the exact bytes of each value: a text value
// written as 2 x N bytes reads back as exactly 2 x N bytes, no terminator.
//
// It reads exports of both flavours ("REGEDIT4" in the ANSI code page and
// "Windows Registry Editor Version 5.00" in UTF-16LE with a byte-order mark)
// and writes the second. A quoted text value is taken as its characters with
// no terminator, the way this system stores its own texts.
//
// The file holds the caster password and is the only copy of the settings:
// it is never followed through a planted link, never replaced by defaults
// when it could not be read, and never written in a form it cannot read back.
#pragma once

#include <cstdint>
#include <filesystem>
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

  bool operator==(const RegValue&) const = default;
};

struct RegKeyData {
  std::string Path;  // as first written, e.g. HKEY_LOCAL_MACHINE\software\X
  std::vector<std::pair<std::string, RegValue>> Values;  // in file order

  bool operator==(const RegKeyData&) const = default;
};

// Parses regedit export text (already decoded to UTF-16) into keys; returns
// nothing when a line is not of the format, and then `error`, when given,
// says which line and why. Time and memory grow linearly with the text.
std::optional<std::vector<RegKeyData>> ParseRegistryText(std::u16string_view text,
                                                         std::string* error = nullptr);

// Formats keys as a version 5 export (UTF-16 text, CR LF line ends).
std::u16string FormatRegistryText(const std::vector<RegKeyData>& keys);

// A file's bytes as text: UTF-16LE after a byte-order mark, else the ANSI
// code page. And back: the byte-order mark and UTF-16LE, as the store writes.
std::u16string DecodeRegistryFile(std::string_view bytes);
std::string EncodeRegistryFile(std::u16string_view text);

class RegistryStore {
 public:
  // The file is read at construction. A missing file is an empty registry. A
  // file that cannot be parsed is renamed aside to <file>.bad-<time>, with a
  // further -<n> when that name is taken, so that no earlier one is replaced.
  // A file that exists but cannot be read, or cannot be put aside, stays as
  // it is: the registry starts empty and Flush refuses. Each of these is
  // reported on stderr and kept in LoadProblem.
  explicit RegistryStore(std::filesystem::path file);

  bool KeyExists(std::string_view key) const;
  // The value, or nothing when the key or the value is missing.
  std::optional<RegValue> ReadValue(std::string_view key, std::string_view name) const;
  // Creates the key when it is missing.
  void WriteValue(std::string_view key, std::string_view name, RegValue value);
  void CreateKey(std::string_view key);
  // Writes the whole registry atomically (a temporary file of its own, fsync,
  // rename), mode 0600. False, with the reason in FlushError, when the file
  // could not be written or must not be.
  bool Flush();

  const std::filesystem::path& File() const { return file_; }
  // Why the file was not loaded; empty when it was or when there was none.
  const std::string& LoadProblem() const { return loadProblem_; }
  const std::string& FlushError() const { return flushError_; }

 private:
  bool Load();
  RegKeyData* FindKey(std::string_view key);
  const RegKeyData* FindKey(std::string_view key) const;
  bool FailFlush(std::string reason);

  std::filesystem::path file_;
  std::vector<RegKeyData> keys_;
  // False when the file on disk holds settings that were not loaded.
  bool mayReplace_ = true;
  std::string loadProblem_;
  std::string flushError_;
};

}  // namespace corvane
