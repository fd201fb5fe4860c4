// The receiver's buffered serial port: a receive worker moves incoming bytes
// into RxQueue, a transmit worker drains TxQueue to the device, and callers
// only ever touch the queues, so no caller blocks on the device. Used while
// the receiver is configured and its position is awaited; the decoders write
// their commands through it.
//
// Threads: Write and Read may be called from any thread, and so may Open,
// StartWorkers, Reconfigure, Stop and Close (they take turns on one lock), but
// never from the channel's own workers. Stop and Close end and join both
// workers: no worker outlives its opening.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "decode/ByteWriter.h"
#include "platform/SerialDevice.h"
#include "platform/TimeSource.h"

namespace corvane {

class SerialChannel : public ByteWriter {
 public:
  // Bytes of one device read.
  static constexpr int kReadBlock = 128;
  // A receive queue holding more than this is emptied before the next block.
  static constexpr size_t kRxQueueLimit = 8192;
  // Pause of the receive worker between two reads.
  static constexpr Millis kRxCycle{50};
  // Read-interval time-out the channel sets on its device.
  static constexpr uint32_t kReadIntervalMs = 50;
  static constexpr uint32_t kReconfigureReadIntervalMs = 100;

  explicit SerialChannel(TimeSource& time);
  ~SerialChannel() override;
  SerialChannel(const SerialChannel&) = delete;
  SerialChannel& operator=(const SerialChannel&) = delete;

  // The open device, or null when closed.
  virtual std::shared_ptr<SerialDevice> Handle() const;
  // Applies the line template with `baudRate` and the three line bytes; on
  // failure closes the device. Returns the device, or null. `port` is unused.
  virtual std::shared_ptr<SerialDevice> ConfigureLine(int port, uint32_t baudRate, uint8_t byteSize,
                                                      uint8_t parity, uint8_t stopBits);
  // Queues the bytes for the transmit worker; returns the count queued (0 for
  // null bytes or a count of 0 or less). Never touches the device.
  int32_t Write(const uint8_t* bytes, int32_t count) override;
  // Moves up to `capacity` received bytes into `buffer`; 0 when none wait.
  virtual int32_t Read(uint8_t* buffer, int32_t capacity);
  // Stops for good: the channel cannot be opened again.
  virtual void Close();
  // Ends the workers and closes the device; Open may follow.
  virtual void Stop();
  virtual void TransmitLoop(std::shared_ptr<SerialDevice> device);
  virtual void ReceiveLoop(std::shared_ptr<SerialDevice> device);
  // Applies the line template at `baudRate` 8N1 with a 100 ms read interval,
  // then clears, discards and clears the break as Open does.
  virtual bool Reconfigure(uint32_t baudRate);
  // Opens "COM<port>:" at `baudRate` 8N1 and tunes it; true when open.
  virtual bool Open(int port, uint32_t baudRate);
  // Starts the receive and then the transmit worker; true when both run.
  virtual bool StartWorkers();

  // Received bytes waiting for Read; for diagnostics and tests.
  size_t ReceiveQueueLength() const;

 private:
  void SignalStop();
  void JoinWorkers();
  void CloseDevice();
  void TuneDevice(SerialDevice& device, uint32_t readIntervalMs);

  TimeSource& time_;
  std::deque<uint8_t> rxQueue_;  // RxQueue
  std::deque<uint8_t> txQueue_;  // TxQueue
  AutoResetEvent rxStopEvent_;   // RxStopEvent
  // The transmit worker waits for data or stop on one event; the two flags
  // tell which of TxDataEvent and TxStopEvent was signalled.
  AutoResetEvent txWakeEvent_;
  std::atomic<bool> txDataSignalled_{false};  // TxDataEvent
  std::atomic<bool> txStopSignalled_{false};  // TxStopEvent
  std::mutex controlLock_;                    // one Open/StartWorkers/Stop/Close at a time
  mutable std::mutex queueLock_;              // QueueLock
  mutable std::mutex portLock_;               // guards portHandle_ (Stop may run on another thread)
  std::shared_ptr<SerialDevice> portHandle_;  // PortHandle
  std::thread rxThread_;                      // RxThread
  std::thread txThread_;                      // TxThread
  std::atomic<bool> closedForGood_{false};
};

}  // namespace corvane
