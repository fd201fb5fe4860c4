// One text for everything a command set does, in order: the bytes each write
// put out, and each pause as "<100>" (milliseconds). A test compares it whole,
// so a wrong byte, a missing pause or a pause in the wrong place all show.
#pragma once

#include <cerrno>
#include <string>

#include "platform/SerialDevice.h"
#include "platform/TimeSource.h"

namespace corvane::testing {

struct TranscriptTime final : TimeSource {
  explicit TranscriptTime(std::string& text) : text(text) {}
  Millis Now() override { return Millis(0); }
  void Sleep(Millis duration) override { text += "<" + std::to_string(duration.count()) + ">"; }
  bool Wait(AutoResetEvent&, Millis) override { return false; }  // the command sets never wait
  std::string& text;
};

// A port that puts its writes into the text; the write attempt numbered
// `failWrite` (0 first) fails.
struct TranscriptDevice final : SerialDevice {
  explicit TranscriptDevice(std::string& text, int failWrite = -1)
      : text(text), failWrite(failWrite) {}
  bool SetLineState(const LineState&) override { return true; }
  bool GetTimeouts(SerialTimeouts&) override { return true; }
  bool SetTimeouts(const SerialTimeouts&) override { return true; }
  bool SetQueueSizes(uint32_t, uint32_t) override { return true; }
  bool ClearErrors() override { return true; }
  bool Purge() override { return true; }
  bool ClearBreak() override { return true; }
  int Read(uint8_t*, int) override { return 0; }
  int Write(const uint8_t* bytes, int count) override {
    if (failWrite-- == 0) return -1;
    text.append(reinterpret_cast<const char*>(bytes), count);
    return count;
  }
  void Close() override {}
  bool IsOpen() const override { return true; }
  int LastError() const override { return EIO; }

  std::string& text;
  int failWrite;
};

}  // namespace corvane::testing
