// The serial device as the receiver and relay code see it: the calls of the
// original's serial API, by role, over a termios device.
//
// Contract: one thread reads and one thread writes at a time; Close may be
// called from any thread and wakes a blocked Read, which then returns -1.
// Results: a count (0 or more) on success, -1 on failure with LastError set
// (an errno value; kAborted after Close or Purge woke a read).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace corvane {

// The line state every port in the system is set to (8N1, no flow control,
// DTR on, RTS off, binary); only the baud rate and the three line bytes vary.
struct LineState {
  uint32_t BaudRate = 115200;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // 0 none
  uint8_t StopBits = 0;  // 0 one stop bit
};

// Read and write time-outs in milliseconds, with the meaning of the original
// platform's time-out record: a read returns when ReadIntervalTimeout passes
// between two bytes after the first byte, or when the total time-out
// (multiplier x bytes + constant, if either is nonzero) expires.
struct SerialTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

class SerialDevice {
 public:
  // The error a read reports when Close or Purge aborted it.
  static constexpr int kAborted = 995;

  virtual ~SerialDevice() = default;

  virtual bool SetLineState(const LineState& line) = 0;
  virtual bool GetTimeouts(SerialTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const SerialTimeouts& timeouts) = 0;
  virtual bool SetQueueSizes(uint32_t receive, uint32_t transmit) = 0;
  virtual bool ClearErrors() = 0;
  // Discards both directions' buffers and aborts pending reads and writes.
  virtual bool Purge() = 0;
  // Discards the receive buffer and aborts a pending read only. A device that
  // cannot purge one direction alone purges both.
  virtual bool PurgeReceive() { return Purge(); }
  virtual bool ClearBreak() = 0;

  virtual int Read(uint8_t* buffer, int capacity) = 0;
  virtual int Write(const uint8_t* bytes, int count) = 0;

  // Closes the device; idempotent; wakes a blocked Read.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // The error of the calling thread's last failed call, as the original's
  // per-thread last error: a reader and a writer never see each other's.
  virtual int LastError() const = 0;
};

// Opens a device by its COM name ("COM3", or "COM3:" as the relay port passes
// it; the letters in any case): COM1..COM9 resolve through the link
// <data folder>/dosdevices/comN when it exists (even dangling), else
// /dev/ttyS<N-1>. Exclusive use: a second open of the same device fails with
// EBUSY. Only terminals open (ENOTTY otherwise). A fresh device reports all
// time-outs 0 (a read waits for its first byte), as a newly opened port does.
// Returns null with *error set on failure.
std::unique_ptr<SerialDevice> OpenSerialDevice(std::string_view name, int* error = nullptr);

// The device path a COM name resolves to, as OpenSerialDevice opens it; empty
// for a name that is no COM name.
std::filesystem::path SerialDevicePath(std::string_view name);

}  // namespace corvane
