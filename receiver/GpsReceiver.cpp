#include "receiver/GpsReceiver.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr Millis kReopenPause = 500ms;
constexpr Millis kBeforeWorkersPause = 200ms;
constexpr Millis kAfterWorkersPause = 300ms;
constexpr Millis kFixNonePause = 200ms;
constexpr Millis kPumpStopPause = 100ms;
constexpr Millis kDecodeStopPause = 50ms;
constexpr Millis kInitStopPause = 100ms;

// Tells a NovAtel-type receiver to drop a fixed base position left from an
// earlier run, so that it computes its own position again.
constexpr std::string_view kFixNoneLine = "fix none\r\n";

template <typename... Args>
std::string Format(const char* format, Args... args) {
  std::array<char, 128> buffer{};
  const int length = std::snprintf(buffer.data(), buffer.size(), format, args...);
  return std::string(buffer.data(), static_cast<size_t>(std::clamp(length, 0, 127)));
}

}  // namespace

CalendarTime ReceiverTimeToUtc(const CalendarTime& time, int32_t gpsBoard) {
  // An impossible date stays as it is, for the clock to refuse.
  if (gpsBoard != kGsofBoard || !IsValidCalendarTime(time)) return time;
  return ShiftCalendarTime(time, -kGsofTimeAheadOfUtc);
}

GpsReceiver::GpsReceiver(std::unique_ptr<SerialChannel> channel, TimeSource& time, Clock& clock,
                         DiagnosticSinks sinks, DecoderFactory decoders)
    : channel_(std::move(channel)),
      time_(time),
      clock_(clock),
      sinks_(std::move(sinks)),
      decoders_(std::move(decoders)) {
  if (!decoders_) {
    decoders_ = [](int32_t gpsBoard, SharedPositionFix& fix, TimeSource& time) {
      return MakePositionDecoder(gpsBoard, fix, time, TraceLine);
    };
  }
}

GpsReceiver::~GpsReceiver() {
  CloseGpsPort();
}

void GpsReceiver::SelectDecoder(int32_t gpsBoard) {
  // The workers use the decoder: make sure none runs (and reap a retry
  // worker that closed the receiver itself).
  CloseGpsPort();
  boardType_ = gpsBoard;
  decoder_.reset();
  decoder_ = decoders_(gpsBoard, fix_, time_);
}

bool GpsReceiver::OpenGpsPort(int port, uint32_t baudRate) {
  // Opening twice would leave the first workers running without an owner;
  // when closed, this reaps a retry worker that closed the receiver itself.
  CloseGpsPort();

  if (channel_->Handle() != nullptr) {
    channel_->Stop();
    time_.Sleep(kReopenPause);
  }
  if (!channel_->Open(port, baudRate)) {
    sinks_.Trace("Can't Open GPS Port!");
    return false;
  }
  time_.Sleep(kBeforeWorkersPause);
  channel_->StartWorkers();
  time_.Sleep(kAfterWorkersPause);

  if (decoder_ == nullptr) {
    channel_->Stop();
    return false;
  }
  if (!decoder_->ConfigureReceiver(*channel_)) {
    sinks_.Trace("Init Board Failed!\n");
    channel_->Stop();
    return false;
  }
  if (boardType_ == kBoardNovAtel && !fixNoneSent_) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(kFixNoneLine.data());
    const auto count = static_cast<int32_t>(kFixNoneLine.size());
    channel_->Write(bytes, count);
    time_.Sleep(kFixNonePause);
    channel_->Write(bytes, count);
    fixNoneSent_ = true;
  }

  pumpStopEvent_.Reset();
  decodeEvent_.Reset();
  decodeStop_.store(false);
  initStopEvent_.Reset();
  // A worker that cannot be created fails the opening like a port that does
  // not open: the workers already running are stopped and joined, so none is
  // left to end the process when its handle goes.
  try {
    pumpThread_ = std::thread(&GpsReceiver::DataPump, this);
    decodeThread_ = std::thread(&GpsReceiver::DecodeWorker, this);
    std::lock_guard join(initJoinLock_);
    initThread_ = std::thread(&GpsReceiver::InitRetryWorker, this);
  } catch (const std::system_error&) {
    channel_->Stop();
    if (pumpThread_.joinable()) {
      pumpStopEvent_.Set();
      pumpThread_.join();
    }
    if (decodeThread_.joinable()) {
      decodeStop_.store(true);
      decodeEvent_.Set();
      decodeThread_.join();
    }
    return false;
  }

  std::lock_guard lock(stateLock_);
  opened_.store(true);
  return true;
}

void GpsReceiver::DataPump() {
  std::vector<uint8_t> buffer(kPumpBlock);
  while (!time_.Wait(pumpStopEvent_, kPumpCycle)) {
    const int32_t count = channel_->Read(buffer.data(), kPumpBlock);
    if (count <= 0) continue;
    {
      std::lock_guard lock(decodeLock_);
      decodeQueue_.insert(decodeQueue_.end(), buffer.begin(), buffer.begin() + count);
    }
    decodeEvent_.Set();
  }
}

void GpsReceiver::DecodeWorker() {
  std::array<uint8_t, kDecodeChunk> chunk;
  for (;;) {
    // An untimed wait: it measures no time, so it needs no time source.
    while (!decodeEvent_.WaitReal(std::chrono::hours(1))) {
    }
    if (decodeStop_.load()) return;
    size_t count = 0;
    {
      std::lock_guard lock(decodeLock_);
      count = std::min(chunk.size(), decodeQueue_.size());
      std::copy_n(decodeQueue_.begin(), count, chunk.begin());
      decodeQueue_.erase(decodeQueue_.begin(), decodeQueue_.begin() + static_cast<long>(count));
    }
    if (count > 0) decoder_->Decode(chunk.data(), static_cast<int32_t>(count));
  }
}

void GpsReceiver::InitRetryWorker() {
  for (int32_t attempts = 0;; ++attempts) {
    if (time_.Wait(initStopEvent_, kInitRetryPeriod)) return;
    if (fix_.FixQuality() <= 0) decoder_->ConfigureReceiver(*channel_);
    sinks_.Console(Format("Init GPSBoard Times %d\r\n", attempts));
    if (attempts >= kLastInitAttempt) {
      sinks_.Trace("Init GPSBoard Failed!");
      Close(true);
      return;
    }
  }
}

void GpsReceiver::CloseGpsPort() {
  Close(false);
}

void GpsReceiver::Close(bool onInitWorker) {
  {
    std::unique_lock lock(stateLock_);
    if (!opened_.load()) {
      // Closed already, or another caller is closing. The retry worker ends
      // at once (the closer joins it); anyone else waits until the port is
      // released, so that the relay port can be opened right after.
      if (onInitWorker) return;
      closeDone_.wait(lock, [this] { return !closing_; });
      lock.unlock();
      JoinInitWorker();
      return;
    }
    opened_.store(false);
    closing_ = true;
  }

  channel_->Stop();

  pumpStopEvent_.Set();
  time_.Sleep(kPumpStopPause);
  pumpThread_.join();

  {
    std::lock_guard lock(decodeLock_);
    decodeQueue_.clear();
  }
  decodeStop_.store(true);
  decodeEvent_.Set();
  time_.Sleep(kDecodeStopPause);
  decodeThread_.join();

  initStopEvent_.Set();
  time_.Sleep(kInitStopPause);
  if (!onInitWorker) JoinInitWorker();

  {
    std::lock_guard lock(stateLock_);
    closing_ = false;
  }
  closeDone_.notify_all();
}

void GpsReceiver::JoinInitWorker() {
  std::lock_guard lock(initJoinLock_);
  if (initThread_.joinable()) initThread_.join();
}

bool GpsReceiver::AdjustTime() {
  const PositionFix fix = fix_.Snapshot();
  // The platform's calendar record holds 16-bit fields.
  const auto field = [](int32_t value) { return static_cast<int>(static_cast<uint16_t>(value)); };
  const CalendarTime time{field(fix.Year), field(fix.Month),  field(fix.Day),
                          field(fix.Hour), field(fix.Minute), field(fix.Second)};
  sinks_.Console(Format("%d-%02d-%02d %02d:%02d:%02d\r\n", time.Year, time.Month, time.Day,
                        time.Hour, time.Minute, time.Second));
  const int error = clock_.SetUtc(ReceiverTimeToUtc(time, boardType_));
  if (error != 0) {
    sinks_.Console(Format("Adjust Failed! Error:%d\r\n", error));
    return false;
  }
  sinks_.Console("Adjust Time Successfully!");
  return true;
}

}  // namespace corvane
