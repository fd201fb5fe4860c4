// A receiver's end of a pseudo-terminal for the benches. It answers the
// position-output commands as a NovAtel-type receiver does (GGA and RMC once
// a second, of the quality given, until "unlogall") and tells whether the
// base-station commands have turned the corrections on; the correction
// stream itself is what the bench writes, so that two relays can be fed the
// same bytes at the same moments.
// A port that is never sent a command just drains what its reader writes.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/PseudoTerminal.h"

namespace corvane::bench {

class PtyReceiver {
 public:
  // Null when no pseudo-terminal could be opened.
  static std::unique_ptr<PtyReceiver> Create(int fixQuality = 1);
  ~PtyReceiver();
  PtyReceiver(const PtyReceiver&) = delete;
  PtyReceiver& operator=(const PtyReceiver&) = delete;

  const std::string& SlavePath() const { return pty_->SlavePath(); }
  // A correction "log" came, and no "unlogall" since.
  bool CorrectionsOn() const { return correctionsOn_; }
  // Writes what the port takes at once, as a receiver's UART does: when the
  // reader falls behind and the line's buffers are full, the rest is lost.
  // Returns the count the port took.
  int Write(const void* bytes, int count);

 private:
  PtyReceiver(std::unique_ptr<PseudoTerminal> pty, int fixQuality);
  void Run();
  void Obey(const std::string& line);
  void PositionOutput();

  std::unique_ptr<PseudoTerminal> pty_;
  int fixQuality_;
  std::mutex writeLock_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> correctionsOn_{false};
  bool gga_ = false;
  bool rmc_ = false;
  std::thread thread_;
};

}  // namespace corvane::bench
