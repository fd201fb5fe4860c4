// Where Corvane keeps its registry file, log.txt and dosdevices/:
// $CORVANE_HOME, else $XDG_DATA_HOME/corvane, else ~/.local/share/corvane.
#pragma once

#include <filesystem>

namespace corvane {

// The folder, created (with its parents) on first use.
std::filesystem::path DataFolder();

// The settings registry file in the data folder.
std::filesystem::path RegistryFile();

}  // namespace corvane
