#include "uplink/Relay.h"

#include <cstdio>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/Trace.h"

namespace corvane {

namespace {

// Formats a trace line only when tracing is on, so the sender's ten lines a
// second cost one branch otherwise.
template <typename... Args>
void TraceFormatted(const char* format, Args... args) {
  if (!TraceEnabled()) return;
  char line[128];
  const int length = std::snprintf(line, sizeof line, format, args...);
  if (length > 0) TraceLine(std::string_view(line, static_cast<size_t>(length)));
}

}  // namespace

Relay::Relay(std::shared_ptr<SerialDevice> relayPort, std::unique_ptr<StreamSocket> casterSocket,
             EventLog& log, TimeSource& time)
    : relayPort_(std::move(relayPort)),
      casterSocket_(casterSocket ? std::move(casterSocket) : std::make_unique<TcpSocket>()),
      log_(log),
      time_(time) {}

Relay::~Relay() {
  Abort();
  Join();
}

SerialDevice* Relay::RelayPort() {
  return RelayPortOpen() ? relayPort_.get() : nullptr;
}

bool Relay::RelayPortOpen() const {
  return relayPort_ != nullptr && relayPort_->IsOpen();
}

void Relay::CloseRelayPort() {
  if (relayPort_ != nullptr) relayPort_->Close();
}

bool Relay::StartReader() {
  if (readerStarted_) return false;
  try {
    readerRunning_ = true;
    reader_ = std::thread([this] { ReadLoop(); });
    readerStarted_ = true;
  } catch (const std::system_error&) {
    readerRunning_ = false;
    return false;
  }
  return true;
}

bool Relay::StartSender() {
  if (senderStarted_) return false;
  try {
    senderRunning_ = true;
    sender_ = std::thread([this] {
      senderGate_.wait();
      SendLoop();
    });
    senderStarted_ = true;
  } catch (const std::system_error&) {
    senderRunning_ = false;
    return false;
  }
  log_.LogEvent("Start Ntrip Server thread!");
  senderGate_.count_down();
  return true;
}

bool Relay::Ended() const {
  return !readerRunning_ && !senderRunning_;
}

void Relay::Join() {
  if (reader_.joinable()) reader_.join();
  if (sender_.joinable()) sender_.join();
}

void Relay::Stop() {
  flags_.Running = 0;
  casterSocket_->Shutdown();
}

void Relay::Abort() {
  Stop();
  CloseRelayPort();
}

void Relay::ReadLoop() {
  if (RelayPortOpen()) {
    buffer_.Reset();
    while (flags_.Running != 0 && relayPort_->IsOpen()) {
      readBuffer_.fill(0);
      const int count = relayPort_->Read(readBuffer_.data(), kReadSize);
      if (!relayPort_->IsOpen()) break;
      if (count < 0) {
        if (relayPort_->LastError() == SerialDevice::kAborted) relayPort_->ClearErrors();
        TraceLine("Read Port Error\r\n");
        time_.Sleep(kPauseAfterReadError);
      } else if (count > 0) {
        buffer_.RelayPut(readBuffer_.data(), count);
        TraceFormatted("Read From serialport data %d\r\n", count);
        time_.Sleep(count >= kLargeRead ? kPauseAfterLargeRead : kPauseAfterSmallRead);
      } else {
        time_.Sleep(kPauseAfterEmptyRead);
      }
    }
    CloseRelayPort();
  }
  readerRunning_ = false;
}

// Sends the whole batch: a send that takes only part of it is followed by
// sends of the rest, so no byte is silently lost. False on a send error.
bool Relay::SendBatch(int count) {
  int offset = 0;
  while (offset < count) {
    const int sent = casterSocket_->Send(sendBuffer_.data() + offset, count - offset);
    if (sent <= 0) return false;
    offset += sent;
  }
  return true;
}

void Relay::SendLoop() {
  flags_.SenderExited = 0;
  while (flags_.Running != 0) {
    const int count = buffer_.RelayTake(sendBuffer_.data());
    TraceLine("Ntrip SendData Thread Alive +++++++++\r\n");
    if (count > 0 && casterSocket_->IsValid()) {
      TraceFormatted("Ntrip SendData:%d\r\n", count);
      // A send the owner's Stop woke up fails too; only a send that fails
      // while the relay still runs is a socket failure.
      if (!SendBatch(count) && flags_.Running.exchange(0) != 0) {
        const int error = casterSocket_->LastError();
        flags_.LastSocketError = error;
        flags_.SocketFailed = 1;
        char line[64];
        const int length = std::snprintf(line, sizeof line, "Socket Send Error: %d", error);
        log_.LogEvent(std::string_view(line, static_cast<size_t>(length)));
      }
    }
    time_.Sleep(kSendPeriod);
  }
  flags_.SenderExited = 1;
  casterSocket_->Close();
  senderRunning_ = false;
}

}  // namespace corvane
