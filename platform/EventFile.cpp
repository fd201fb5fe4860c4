#include "platform/EventFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace corvane {

namespace {

// One lock for every event file of the process: the file is opened and closed
// around each line, and two opens at once must not lose a line.
std::mutex& AppendLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

void EventFile::ReportOpenFailure(int error) {
  if (openFailureReported_) return;
  openFailureReported_ = true;
  if (error == ELOOP) {
    std::fprintf(stderr, "corvane: %s is a symbolic link; event lines are not written to it\n",
                 file_.c_str());
  } else {
    std::fprintf(stderr, "corvane: cannot append to %s: %s\n", file_.c_str(), std::strerror(error));
  }
}

void EventFile::Append(std::string_view text) {
  char line[kMaxLineText + 2];
  const size_t length = std::min(text.size(), kMaxLineText);
  std::memcpy(line, text.data(), length);
  line[length] = '\r';
  line[length + 1] = '\n';

  std::lock_guard lock(AppendLock());
  // Never through a link: lines planted that way would land in any file.
  const int fd =
      ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_DSYNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    ReportOpenFailure(errno);
    return;
  }
  size_t written = 0;
  while (written < length + 2) {
    const ssize_t n = ::write(fd, line + written, length + 2 - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace corvane
