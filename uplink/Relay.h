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

class Relay {
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
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  RelayFlags& Flags() { return flags_; }
  RelayBuffer& Buffer() { return buffer_; }
  // For the handshake, before StartSender.
  StreamSocket& CasterSocket() { return *casterSocket_; }

  bool RelayPortOpen() const;
  // Closes the relay port (idempotent); wakes a reader blocked in a read.
  void CloseRelayPort();

  // Each starts its thread once; false when it ran before or could not start.
  bool StartReader();
  // Logs "Start Ntrip Server thread!" when the thread started.
  bool StartSender();

  // True when every thread that was started has ended (never blocks).
  bool Ended() const;
  // Waits until the started threads have ended. A sender whose log line must
  // first be shown by the waiting thread would never end: wait only where log
  // lines are still delivered, or after Ended().
  void Join();
  // Ends the relay at once: clears Running, closes the port and wakes a send
  // blocked on the socket.
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
