#include "app/TransferStatistics.h"

#include <numeric>

#include "config/NumberText.h"

namespace corvane {

std::string FormatSentBytes(uint32_t total) {
  if (total < 1024) return std::to_string(total) + " B";
  if (total < 1048576) {
    return FormatFixed(static_cast<double>(static_cast<float>(total) / 1024.0f), 2) + " KB";
  }
  return FormatFixed(static_cast<double>(static_cast<float>(total) / 1048576.0f), 3) + " MB";
}

TransferLine TransferStatistics::UpdateStatus(uint32_t total) {
  TransferLine line;
  line.Sent = FormatSentBytes(total);

  if (sampleIndex_ % kSampleCount == 0) sampleIndex_ = 0;
  samples_[static_cast<size_t>(sampleIndex_)] =
      total >= previousTotal_ ? total - previousTotal_ : 0;
  ++sampleIndex_;

  // The mean of the samples written since the ring last went back to 0.
  const uint64_t written =
      std::accumulate(samples_.begin(), samples_.begin() + sampleIndex_, uint64_t{0});
  const float mean = static_cast<float>(written) / static_cast<float>(sampleIndex_);
  line.Speed = FormatFixed(static_cast<double>(mean), 2) + "B/s";

  if (total > previousTotal_) {
    previousTotal_ = total;
    line.Progress = progressStep_;
    if (++progressStep_ == kProgressSteps) progressStep_ = 0;
  }
  if (total < previousTotal_) previousTotal_ = 0;

  line.RecentBytes = std::accumulate(samples_.begin(), samples_.end(), uint64_t{0});
  return line;
}

void TransferStatistics::ResetStatus() {
  previousTotal_ = 0;
  samples_.fill(0);
}

}  // namespace corvane
