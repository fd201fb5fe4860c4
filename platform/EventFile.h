// The event file log.txt: one line per event, each ended by CR LF, only ever
// appended to. Appends from several threads are serialised so that no line is
// lost, and each is written through to the medium.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace corvane {

class EventFile {
 public:
  // Longest text of one file line before its CR LF; longer texts are cut.
  static constexpr size_t kMaxLineText = 509;

  explicit EventFile(std::filesystem::path file) : file_(std::move(file)) {}

  // Appends the text and CR LF. A file that cannot be opened or written loses
  // the line from the file only; the first failure to open is told on stderr.
  // A symbolic link in the file's place is never followed.
  void Append(std::string_view text);

  const std::filesystem::path& File() const { return file_; }

 private:
  void ReportOpenFailure(int error);

  std::filesystem::path file_;
  bool openFailureReported_ = false;  // guarded by the append lock
};

}  // namespace corvane
