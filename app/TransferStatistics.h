// The transfer line of the main window (speed, bytes relayed, activity bar),
// refreshed once a second from the relay's running byte total, and the sum of
// the last eight one-second byte counts on which a stalled stream is detected.
//
// Pure: the caller reads the total and puts the texts on the window. The
// texts are formatted as the C library does in the "C" locale, whatever
// locale the process runs in.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// What one update puts on the window.
struct TransferLine {
  std::string Speed;            // control 1012, "%.2fB/s"
  std::string Sent;             // control 1013, "%d B", "%.2f KB" or "%.3f MB"
  std::optional<int> Progress;  // control 1014's new position, when bytes arrived
  uint64_t RecentBytes = 0;     // the sum of all eight samples
};

class TransferStatistics {
 public:
  static constexpr int kSampleCount = 8;
  static constexpr int kProgressSteps = 100;

  // One tick with `total`, the bytes read since the relay started.
  TransferLine UpdateStatus(uint32_t total);
  // Zeroes the previous total and the samples; the ring position and the
  // progress step carry over.
  void ResetStatus();

 private:
  uint32_t previousTotal_ = 0;                    // PreviousTotal
  std::array<uint32_t, kSampleCount> samples_{};  // SpeedSamples
  int32_t sampleIndex_ = 0;                       // SampleIndex
  int32_t progressStep_ = 0;                      // ProgressStep
};

// The bytes-relayed text: below 1024 "%d B", below 1048576 "%.2f KB", else
// "%.3f MB", the quotient taken in single precision.
std::string FormatSentBytes(uint32_t total);

}  // namespace corvane
