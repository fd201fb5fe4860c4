#include "app/RunController.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "uplink/CasterHandshake.h"

namespace corvane {

namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, format, args...);
  return std::string(text, static_cast<size_t>(std::clamp(length, 0, 63)));
}

}  // namespace

int GpsPortNumber(std::string_view serialPort) {
  if (serialPort.size() < 4) return 0;
  // The port number was one byte: a character below '0' wraps, as it did.
  return static_cast<uint8_t>(serialPort[3] - '0');
}

RunController::RunController(RunWindow& window, const Settings& settings, EventLog& log,
                             MessageBoxes& boxes, TimeSource& time, ReceiverControl& receiver,
                             NetworkBearer& bearer, RelayFactory relays, DiagnosticSinks sinks)
    : window_(window),
      settings_(settings),
      log_(log),
      boxes_(boxes),
      time_(time),
      receiver_(receiver),
      bearer_(bearer),
      relays_(std::move(relays)),
      sinks_(std::move(sinks)) {}

RunController::~RunController() {
  // Each relay's own destructor ends and joins its threads.
  if (relay_ != nullptr) relay_->Stop();
  for (auto& relay : retired_) relay->Stop();
}

bool RunController::RelayRunning() const {
  return relay_ != nullptr && relay_->Flags().Running != 0;
}

bool RunController::RelayPortOpen() const {
  return relay_ != nullptr && relay_->RelayPortOpen();
}

void RunController::CloseRelayPort() {
  if (relay_ != nullptr) relay_->CloseRelayPort();
}

void RunController::StopRelay() {
  if (relay_ != nullptr) relay_->Stop();
}

void RunController::Reap() {
  std::erase_if(retired_, [](const std::unique_ptr<RelayLink>& relay) { return relay->Ended(); });
}

void RunController::Trace(std::string_view text) const {
  if (sinks_.Trace) sinks_.Trace(text);
}

int RunController::SendCommandSet() {
  return InitDiffData(relay_->RelayPort(), settings_, basePosition_, time_, sinks_.Console);
}

void RunController::OnStartStop() {
  Reap();
  // The caption plays no part: a receiver still open is stopped too.
  if (RelayRunning() || receiver_.IsOpen()) {
    Stop();
  } else {
    Start();
  }
}

void RunController::Stop() {
  receiver_.CloseGpsPort();
  awaitingData_ = false;
  StopRelay();
  window_.KillTimer(kSupervisionTimer);
  window_.KillTimer(kPositionTimer);
  if (RelayPortOpen()) CloseRelayPort();
  window_.SetRunningControls(false);
  log_.LogEvent("User Stop");
}

void RunController::Start() {
  receiver_.SelectDecoder(settings_.GPSBoard);
  window_.SetRunningControls(true);
  if (!receiver_.OpenGpsPort(GpsPortNumber(settings_.SerialPort.view()),
                             static_cast<uint32_t>(settings_.SerialPortRate))) {
    log_.LogEvent("Open GPS Port Failed!");
    window_.SetRunningControls(false);
    return;
  }
  log_.LogEvent("Open GPS Port Successfully!");
  log_.LogEvent("Invalid Position,please wait..");
  positionWaitTicks_ = 0;
  window_.SetTimer(kPositionTimer, kPositionPeriod);
}

void RunController::OnTimer(int id) {
  Reap();
  if (id == kPositionTimer) PollPosition();
  if (id == kSupervisionTimer) Supervise();
}

void RunController::PollPosition() {
  if (!receiver_.IsOpen()) {
    window_.KillTimer(kPositionTimer);
    log_.LogEvent("Open Port first!");
    window_.SetRunningControls(false);
    return;
  }
  // Compared before it counts, so polls 1 to 36 may find a position.
  if (positionWaitTicks_++ >= kPositionPolls) {
    window_.KillTimer(kPositionTimer);
    receiver_.CloseGpsPort();
    window_.SetRunningControls(false);
    log_.LogEvent("Init GPS Board Failed!");
    log_.LogEvent("Pls check the port or baudrate!");
    return;
  }
  const PositionFix fix = receiver_.FixSnapshot();
  if (fix.FixQuality < 1) {
    log_.LogEvent("Invalid Position,pls wait..");
    return;
  }
  log_.LogEvent("Get Valid Position!");
  basePosition_ = {fix.Latitude, fix.Longitude, fix.Altitude};
  if (receiver_.AdjustTime()) log_.LogEvent("Adjust Time OK!");
  window_.KillTimer(kPositionTimer);
  if (settings_.Coordinate != kCoordinateAutonomous) {
    basePosition_ = {settings_.BaseLat, settings_.BaseLon, settings_.BaseH};
  }
  // The relay opens the same port again, raw.
  receiver_.CloseGpsPort();
  StartServer();
}

void RunController::StartServer() {
  // Reached while the application ends (from a call that the end interrupted
  // in one of its sleeps): nothing starts any more.
  if (terminated_) return;
  if (RelayRunning()) {
    window_.DisableStartStop();
    StopRelay();
    log_.LogEvent("User Stop Send.");
    retriesLeft_ = 0;
    return;
  }
  if (bearer_.BearerIsUp() == 0 && bearer_.EstablishBearer() == 0) {
    if (terminated_) return;  // the wait was cut short, not the network lost
    boxes_.Show(u"Please check your Network!", u"Prompt", MessageButtons::Ok,
                MessageIcon::Exclamation);
    log_.LogEvent("Please check the Network!");
    window_.SetRunningControls(false);
    return;
  }
  // The new relay below starts with an empty buffer and a zero total.
  idleTicks_ = 0;
  window_.DisableStartStop();
  statistics_.ResetStatus();
  window_.SetRunningControls(true);
  if (RelayPortOpen()) {
    CloseRelayPort();
    time_.Sleep(kRelayPortPause);
  }

  std::unique_ptr<RelayLink> next = relays_(settings_.SerialPort.view(), settings_.SerialPortRate);
  if (next == nullptr) {
    awaitingData_ = false;
    StopRelay();
    window_.KillTimer(kPositionTimer);
    window_.KillTimer(kSupervisionTimer);
    log_.LogEvent("Open SerialPort Failed.");
    window_.SetRunningControls(false);
    return;
  }
  if (relay_ != nullptr) {
    relay_->Stop();
    retired_.push_back(std::move(relay_));
  }
  relay_ = std::move(next);

  log_.LogEvent("Reopen port successfully!");
  relay_->Flags().Running = 1;
  awaitingData_ = true;
  SendCommandSet();
  time_.Sleep(kRelayPortPause);
  relay_->StartReader();

  for (int pass = 0;; time_.Sleep(kDataWaitPause)) {
    if (!awaitingData_) return;
    if (pass > kLastDataWaitPass) {
      log_.LogEvent("SerialPort no Data.");
      window_.SetRunningControls(false);
      StopRelay();
      awaitingData_ = false;
      if (RelayPortOpen()) CloseRelayPort();
      return;
    }
    if (relay_->Total() > kStartBytes) {
      ConnectAndStartSender();
      continue;
    }
    if (pass % kResendPasses == 0) {
      const std::string line = Format("Init DiffType Data %d Times\r\n", pass / kResendPasses + 1);
      Trace(line);
      log_.LogEvent(line);
      // An end that came during the set cut it short; the receiver did not fail.
      if (SendCommandSet() == 0 && !terminated_) log_.LogEvent("Init Diff Data Failed!");
    }
    ++pass;
  }
}

void RunController::ConnectAndStartSender() {
  awaitingData_ = false;
  if (ConnectCaster(relay_->CasterSocket(), connectError_, settings_, log_) == 1) {
    log_.LogEvent("Connect Server Successfully!");
    Trace("Connect Ntrip Successfully!\r\n");
    relay_->StartSender();
    retriesLeft_ = settings_.ReConnect_Times;
    window_.SetTimer(kSupervisionTimer, kSupervisionPeriod);
    return;
  }
  log_.LogEvent("Connect Server Failed!");
  LogConnectError(connectError_, log_);
  window_.SetRunningControls(false);
  StopRelay();
  awaitingData_ = false;
  if (RelayPortOpen()) CloseRelayPort();
  Trace("Connect Ntrip Server Failed!\r\n");
}

void RunController::Supervise() {
  if (relay_ != nullptr) {
    RelayFlags& flags = relay_->Flags();
    if (flags.SenderExited.exchange(0) != 0) window_.SetRunningControls(false);
    if (flags.SocketFailed.exchange(0) != 0) {
      log_.LogEvent(Format("Socket Err:%d\r\n", flags.LastSocketError.load()));
      window_.SetRunningControls(false);
    }
  }

  if (RelayRunning()) {
    const TransferLine line = statistics_.UpdateStatus(relay_->Total());
    window_.ShowTransfer(line);
    // Not reset when bytes flow again: separate breaks add up.
    if (line.RecentBytes == 0 && ++idleTicks_ == kStallTicks) {
      log_.LogEvent("SerialPort Data break off.");
      awaitingData_ = false;
      StopRelay();
      if (retriesLeft_ > 0) {
        --retriesLeft_;
        log_.LogEvent(Format("Retry Start %d.", retriesLeft_));
        Trace("ReStart\r\n");
        StartServer();
      } else {
        window_.KillTimer(kSupervisionTimer);
        window_.KillTimer(kPositionTimer);
        log_.LogEvent("Start Ntrip Server Failed!");
        window_.SetRunningControls(false);
      }
    }
    return;
  }

  // Waiting to retry: the retry starts on the (2 x Interval + 1)-th tick.
  if (retryWaitTicks_ == 2 * static_cast<int64_t>(settings_.Interval)) {
    Trace("\r\n*");
    if (retriesLeft_ < 1) {
      awaitingData_ = false;
      StopRelay();
      window_.KillTimer(kSupervisionTimer);
      window_.KillTimer(kPositionTimer);
    } else {
      --retriesLeft_;
      log_.LogEvent(Format("Retry Start %d.", retriesLeft_));
      awaitingData_ = false;
      StopRelay();
      StartServer();
      Trace("\r\nReStart\r\n");
    }
    retryWaitTicks_ = 0;
  } else {
    ++retryWaitTicks_;
    Trace("+");
  }
}

void RunController::OnClose() {
  if (receiver_.IsOpen()) receiver_.CloseGpsPort();
  if (RelayPortOpen()) {
    CloseRelayPort();
    time_.Sleep(kRelayPortPause);
  }
}

void RunController::Terminate() {
  terminated_ = true;
  awaitingData_ = false;
  StopRelay();
  window_.KillTimer(kSupervisionTimer);
  window_.KillTimer(kPositionTimer);
}

}  // namespace corvane
