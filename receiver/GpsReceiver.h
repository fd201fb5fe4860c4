// The receiver side of a start: open the receiver's port, make the receiver
// output its position, watch the decoded position until it is valid, and set
// the device clock from it. Three workers run while the receiver is open:
// DataPump (channel to decode queue), DecodeWorker (decode queue to the
// decoder) and InitRetryWorker (re-sends the configuration every 15 s while no
// valid position has come, and gives up after twelve waits).
//
// Threads: SelectDecoder, OpenGpsPort, AdjustTime and the destructor run on
// the controlling (UI) thread; CloseGpsPort may be called from any thread,
// also while the retry worker closes the receiver itself: the steps of a close
// run once, and a caller that comes second returns once the close is done.
// No worker outlives the object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "config/Settings.h"
#include "decode/PositionDecoder.h"
#include "decode/PositionFix.h"
#include "platform/Clock.h"
#include "platform/TimeSource.h"
#include "receiver/Diagnostics.h"
#include "receiver/SerialChannel.h"

namespace corvane {

// Makes the decoder for a GPSBoard value; MakePositionDecoder in production.
using DecoderFactory = std::function<std::unique_ptr<PositionDecoder>(
    int32_t gpsBoard, SharedPositionFix& fix, TimeSource& time)>;

// The GSOF decoder leaves GPS time plus 8 hours in the record; UTC is that
// less 8 hours and the GPS-UTC leap seconds (18 since 2017).
inline constexpr int64_t kGpsUtcLeapSeconds = 18;
inline constexpr int64_t kGsofTimeAheadOfUtc = 8 * 3600 + kGpsUtcLeapSeconds;

// The UTC time to set the clock to from the record's fields: NMEA time is UTC
// already; GSOF time (receiver type 4) is shifted back to UTC.
CalendarTime ReceiverTimeToUtc(const CalendarTime& time, int32_t gpsBoard);

// The receiver as run control drives it; GpsReceiver in production.
class ReceiverControl {
 public:
  virtual ~ReceiverControl() = default;
  virtual void SelectDecoder(int32_t gpsBoard) = 0;
  virtual bool OpenGpsPort(int port, uint32_t baudRate) = 0;
  virtual bool IsOpen() const = 0;
  virtual void CloseGpsPort() = 0;
  virtual bool AdjustTime() = 0;
  // The decoded record as last written by the decoder.
  virtual PositionFix FixSnapshot() const = 0;
};

class GpsReceiver final : public ReceiverControl {
 public:
  // DataPump's largest read and DecodeWorker's largest chunk.
  static constexpr int32_t kPumpBlock = 6144;
  static constexpr int32_t kDecodeChunk = 2048;
  static constexpr Millis kPumpCycle{100};
  static constexpr Millis kInitRetryPeriod{15000};
  // InitRetryWorker gives up at the time-out after this attempt number.
  static constexpr int32_t kLastInitAttempt = 11;

  // `decoders` empty means MakePositionDecoder.
  GpsReceiver(std::unique_ptr<SerialChannel> channel, TimeSource& time, Clock& clock,
              DiagnosticSinks sinks = {}, DecoderFactory decoders = {});
  ~GpsReceiver() override;
  GpsReceiver(const GpsReceiver&) = delete;
  GpsReceiver& operator=(const GpsReceiver&) = delete;

  // Replaces the decoder: GsofDecoder for 4, NmeaDecoder otherwise. Closed
  // state only.
  void SelectDecoder(int32_t gpsBoard) override;
  // Opens COM<port> at `baudRate`, configures the receiver and starts the
  // workers; true when all of that succeeded.
  bool OpenGpsPort(int port, uint32_t baudRate) override;
  bool IsOpen() const override { return opened_.load(); }
  // Stops the workers and the channel; harmless when already closed.
  void CloseGpsPort() override;
  // Sets the device clock from the fix's date and time (as UTC); true when
  // the platform accepted it.
  bool AdjustTime() override;

  // The decoded position and time, as last written by the decoder.
  const SharedPositionFix& Fix() const { return fix_; }
  PositionFix FixSnapshot() const override { return fix_.Snapshot(); }
  int32_t BoardType() const { return boardType_; }

 private:
  void DataPump();
  void DecodeWorker();
  void InitRetryWorker();
  // The close itself; `onInitWorker` when the retry worker gives up, which
  // must neither wait for itself nor for a close already under way.
  void Close(bool onInitWorker);
  void JoinInitWorker();

  SharedPositionFix fix_;                   // Fix
  std::unique_ptr<SerialChannel> channel_;  // Channel
  std::unique_ptr<PositionDecoder> decoder_;
  int32_t boardType_ = kBoardTrimble;
  TimeSource& time_;
  Clock& clock_;
  DiagnosticSinks sinks_;
  DecoderFactory decoders_;

  std::deque<uint8_t> decodeQueue_;
  std::mutex decodeLock_;  // DecodeLock: guards decodeQueue_

  // Each worker waits on one event; DecodeWorker's event carries both
  // DecodeDataEvent and DecodeStopEvent, told apart by decodeStop_.
  AutoResetEvent pumpStopEvent_;
  AutoResetEvent decodeEvent_;
  std::atomic<bool> decodeStop_{false};
  AutoResetEvent initStopEvent_;
  std::thread pumpThread_;
  std::thread decodeThread_;
  std::thread initThread_;
  std::mutex initJoinLock_;  // guards initThread_ between closing callers

  // Opened is read without a lock by IsOpen; it changes only under
  // stateLock_, together with closing_, so that one caller claims a close.
  std::atomic<bool> opened_{false};
  bool closing_ = false;
  std::mutex stateLock_;
  std::condition_variable closeDone_;
  bool fixNoneSent_ = false;
};

}  // namespace corvane
