// A COM port for tests: a pseudo-terminal whose slave the data folder's
// dosdevices/comN link points at, inside a temporary CORVANE_HOME.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/TempDir.h"
#include "platform/PseudoTerminal.h"

namespace corvane::testing {

class ComLink {
 public:
  explicit ComLink(int number = 3) : number_(number) {
    ::setenv("CORVANE_HOME", home_.path().c_str(), 1);
    pty_ = PseudoTerminal::Create();
    std::filesystem::create_directories(home_.path() / "dosdevices");
    if (pty_ != nullptr) std::filesystem::create_symlink(pty_->SlavePath(), Link());
  }
  ~ComLink() { ::unsetenv("CORVANE_HOME"); }

  std::filesystem::path Link() const {
    return home_.path() / "dosdevices" / ("com" + std::to_string(number_));
  }
  std::string Name() const { return "COM" + std::to_string(number_); }
  const std::filesystem::path& Home() const { return home_.path(); }
  PseudoTerminal& Pty() { return *pty_; }
  bool Ready() const { return pty_ != nullptr; }

  // What the far end received, gathered until `count` bytes came or the
  // deadline passed.
  std::vector<uint8_t> Receive(
      size_t count, std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    std::vector<uint8_t> bytes;
    const auto end = std::chrono::steady_clock::now() + deadline;
    uint8_t buffer[4096];
    while (bytes.size() < count && std::chrono::steady_clock::now() < end) {
      const int n = pty_->Read(buffer, sizeof buffer, std::chrono::milliseconds(20));
      if (n < 0) break;
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }
  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(pty_->Write(bytes.data(), static_cast<int>(bytes.size()), std::chrono::seconds(5)),
              static_cast<int>(bytes.size()));
  }

 private:
  TempDir home_;
  int number_;
  std::unique_ptr<PseudoTerminal> pty_;
};

inline std::vector<uint8_t> Bytes(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace corvane::testing
