// A pseudo-terminal pair that stands in for a receiver's cable: the slave is
// the serial device the system opens, the master is the receiver's end. Used
// by the receiver simulator and by the serial tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/TimeSource.h"

namespace corvane {

class PseudoTerminal {
 public:
  // Opens a master and its slave, sets the slave raw (no echo of what the
  // receiver sends) and holds it open, so that the master never reads a
  // hang-up while no user has the slave open. Null with *error on failure.
  static std::unique_ptr<PseudoTerminal> Create(int* error = nullptr);
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  // The master's descriptor (non-blocking), -1 after CloseMaster.
  int Master() const { return master_; }

  // Reads what has arrived, waiting at most `timeout` (real time) for the
  // first byte; 0 on time-out, -1 on error or after CloseMaster.
  int Read(uint8_t* buffer, int capacity, Millis timeout);
  // Writes the bytes, waiting at most `timeout` (real time) for room;
  // returns the count written, -1 on error.
  int Write(const uint8_t* bytes, int count, Millis timeout);
  // Ends the master side: the slave's user sees the line hang up.
  void CloseMaster();

 private:
  PseudoTerminal(int master, int slave, std::string slavePath);
  int master_;
  int slave_;
  std::string slavePath_;
};

}  // namespace corvane
