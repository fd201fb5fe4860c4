#include "platform/DataFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace corvane {

namespace {

std::filesystem::path ChooseFolder() {
  if (const char* home = std::getenv("CORVANE_HOME"); home != nullptr && *home != '\0') {
    return home;
  }
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg != '\0') {
    return std::filesystem::path(xdg) / "corvane";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : ".") / ".local" / "share" / "corvane";
}

}  // namespace

std::filesystem::path DataFolder() {
  std::filesystem::path folder = ChooseFolder();
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  return folder;
}

std::filesystem::path RegistryFile() {
  return DataFolder() / "registry.reg";
}

DataFolderLock::DataFolderLock(DataFolderLock&& other) noexcept
    : fd_(other.fd_), state_(other.state_) {
  other.fd_ = -1;
}

DataFolderLock::~DataFolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

DataFolderLock LockDataFolder(const std::filesystem::path& folder) {
  // The folder itself carries the lock, so that no lock file can be left
  // behind or planted. The kernel drops it when the process ends, however.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return {fd, DataFolderLock::State::Held};
  const int error = errno;
  if (fd >= 0) ::close(fd);
  if (error == EWOULDBLOCK) return {-1, DataFolderLock::State::Busy};
  std::fprintf(stderr, "corvane: cannot lock data folder %s: %s\n", folder.c_str(),
               std::strerror(error));
  return {-1, DataFolderLock::State::Failed};
}

}  // namespace corvane
