// Where Corvane keeps its registry file, log.txt and dosdevices/:
// $CORVANE_HOME, else $XDG_DATA_HOME/corvane, else ~/.local/share/corvane.
#pragma once

#include <filesystem>

namespace corvane {

// The folder, created (with its parents) on first use.
std::filesystem::path DataFolder();

// The settings registry file in the data folder.
std::filesystem::path RegistryFile();

// An exclusive lock on a data folder, held while the object lives: two
// instances saving into one folder would lose each other's settings.
class DataFolderLock {
 public:
  enum class State {
    Held,
    Busy,    // another holder has it, in this process or another
    Failed,  // the folder cannot be locked at all
  };

  DataFolderLock(DataFolderLock&& other) noexcept;
  DataFolderLock& operator=(DataFolderLock&&) = delete;
  ~DataFolderLock();

  State Result() const { return state_; }

 private:
  friend DataFolderLock LockDataFolder(const std::filesystem::path& folder);
  DataFolderLock(int fd, State state) : fd_(fd), state_(state) {}

  int fd_;
  State state_;
};

// Locks the folder without waiting. A failure other than Busy is told on
// stderr.
DataFolderLock LockDataFolder(const std::filesystem::path& folder);

}  // namespace corvane
