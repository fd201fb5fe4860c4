// One relay of the receiver's correction stream to the caster: the reader
// thread moves bytes from the relay port into the RelayBuffer, the sender
// thread moves them from there to the caster socket every 100 ms.
//
// Each start of the relay builds a new Relay with its own port, socket,
// buffer and flags. The threads of one Relay touch nothing else, so a restart
// may start the next relay while the previous one's reader still waits in a
// read or its sender in a pause: they can only ever close, mark or fill
// their own.
//
// Threads: the owner (the UI thread) constructs, runs ConnectCaster on
// CasterSocket() before StartSender, reads the flags and Buffer().Total(),
// clears Running and closes the port. From StartSender on, the sender owns the
// socket; the reader owns the port's reads and closes it on its way out.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <latch>
#include <memory>
#include <thread>

#include "platform/EventLog.h"
#include "platform/SerialDevice.h"
#include "platform/TcpSocket.h"
#include "platform/TimeSource.h"
#include "uplink/RelayBuffer.h"

namespace corvane {

// The flags through which the threads and the owner meet; each is one whole
// word, so no lock is needed.
struct RelayFlags {
  std::atomic<int32_t> Running{0};  // both threads may run; the sender clears it on a send error
  std::atomic<int32_t> SocketFailed{0};     // the sender hit a send error
  std::atomic<int32_t> LastSocketError{0};  // that error's errno value
  std::atomic<int32_t> SenderExited{0};     // the sender has ended
};

// One relay as its owner drives it; Relay in production, a scripted stand-in
// in the owner's tests.
class RelayLink {
 public:
  virtual ~RelayLink() = default;
  virtual RelayFlags& Flags() = 0;
  // Bytes read from the port since the reader started, dropped ones included.
  virtual uint32_t Total() = 0;
  // The port, for the base-station commands; null once closed.
  virtual SerialDevice* RelayPort() = 0;
  virtual bool RelayPortOpen() const = 0;
  // Closes the relay port (idempotent); wakes a reader blocked in a read.
  virtual void CloseRelayPort() = 0;
  // For the handshake, before StartSender.
  virtual StreamSocket& CasterSocket() = 0;
  // Each starts its thread once; false when it ran before or could not start.
  virtual bool StartReader() = 0;
  // Logs "Start Ntrip Server thread!" when the thread started.
  virtual bool StartSender() = 0;
  // The owner ends the relay: clears Running and wakes a send blocked on the
  // socket. That send then fails, but as the relay was stopped, not as a
  // socket failure: nothing is logged or flagged. The port stays as it is.
  virtual void Stop() = 0;
  // True when every thread that was started has ended (never blocks).
  virtual bool Ended() const = 0;
};

class Relay final : public RelayLink {
 public:
  static constexpr int kReadSize = 1024;
  // A read at least this long means the stream is fast: pause briefly.
  static constexpr int kLargeRead = 512;
  static constexpr Millis kPauseAfterLargeRead{10};
  static constexpr Millis kPauseAfterSmallRead{30};
  static constexpr Millis kPauseAfterEmptyRead{500};
  static constexpr Millis kPauseAfterReadError{100};
  static constexpr Millis kSendPeriod{100};

  Relay(std::shared_ptr<SerialDevice> relayPort, std::unique_ptr<StreamSocket> casterSocket,
        EventLog& log, TimeSource& time);
  // Aborts and joins whatever still runs.
  ~Relay() override;
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  RelayFlags& Flags() override { return flags_; }
  RelayBuffer& Buffer() { return buffer_; }
  uint32_t Total() override { return buffer_.Total(); }
  SerialDevice* RelayPort() override;
  StreamSocket& CasterSocket() override { return *casterSocket_; }

  bool RelayPortOpen() const override;
  void CloseRelayPort() override;

  bool StartReader() override;
  bool StartSender() override;
  void Stop() override;
  bool Ended() const override;
  // Waits until the started threads have ended. A sender whose log line must
  // first be shown by the waiting thread would never end: wait only where log
  // lines are still delivered, or after Ended().
  void Join();
  // Ends the relay at once: Stop, and the port closed.
  void Abort();

 private:
  void ReadLoop();
  void SendLoop();
  bool SendBatch(int count);

  std::shared_ptr<SerialDevice> relayPort_;
  std::unique_ptr<StreamSocket> casterSocket_;
  EventLog& log_;
  TimeSource& time_;
  RelayFlags flags_;
  RelayBuffer buffer_;
  // Working buffers, so that relaying never allocates.
  std::array<uint8_t, kReadSize> readBuffer_{};
  std::array<uint8_t, RelayBuffer::kCapacity> sendBuffer_{};
  std::thread reader_;
  std::thread sender_;
  // Holds the new sender until its start is logged, so that the start line
  // always stands before anything the sender logs.
  std::latch senderGate_{1};
  bool readerStarted_ = false;
  bool senderStarted_ = false;
  std::atomic<bool> readerRunning_{false};
  std::atomic<bool> senderRunning_{false};
};

}  // namespace corvane
