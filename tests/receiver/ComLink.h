// A COM port for tests: a pseudo-terminal whose slave the data folder's
// dosdevices/comN link points at, inside a temporary CORVANE_HOME.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/TempDir.h"
#include "platform/PseudoTerminal.h"

namespace corvane::testing {

// Waits on the host's clock until `condition` holds or `deadline` passes.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (std::chrono::steady_clock::now() >= end) return false;
  return true;
}

inline std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

class ComLink {
 public:
  explicit ComLink(int number = 3) : number_(number) {
    ::setenv("CORVANE_HOME", home_.path().c_str(), 1);
    pty_ = PseudoTerminal::Create();
    std::filesystem::create_directories(home_.path() / "dosdevices");
    if (pty_ != nullptr) std::filesystem::create_symlink(pty_->SlavePath(), Link(number));
  }
  ~ComLink() { ::unsetenv("CORVANE_HOME"); }

  std::filesystem::path Link(int number) const {
    return home_.path() / "dosdevices" / ("com" + std::to_string(number));
  }
  // Points COM`number` at a path that is no serial port.
  void LinkNowhere(int number) {
    std::filesystem::create_symlink(home_.path() / "gone", Link(number));
  }
  const std::filesystem::path& Home() const { return home_.path(); }
  std::string Name() const { return "COM" + std::to_string(number_); }
  PseudoTerminal& Pty() { return *pty_; }
  bool Ready() const { return pty_ != nullptr; }

  // What the far end received, gathered until `count` bytes came or the
  // deadline passed.
  std::vector<uint8_t> Receive(size_t count,
                               std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    std::vector<uint8_t> bytes;
    uint8_t buffer[4096];
    WaitUntil(
        [&] {
          const int n = pty_->Read(buffer, sizeof buffer, std::chrono::milliseconds(20));
          bytes.insert(bytes.end(), buffer, buffer + std::max(n, 0));
          return n < 0 || bytes.size() >= count;
        },
        deadline);
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

}  // namespace corvane::testing
