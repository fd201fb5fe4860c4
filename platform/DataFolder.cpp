#include "platform/DataFolder.h"

#include <cstdlib>
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

}  // namespace corvane
