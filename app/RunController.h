// The operator's Start/Stop cycle: open the receiver and wait for a valid
// position, then start the relay to the caster (StartServer), supervise it
// once a second, restart it after a stalled stream or a socket failure within
// the retry budget, and stop it on request.
//
// Everything here runs on the window's (UI) thread, called by the window for
// a button press, a timer tick or the close. StartServer blocks its caller
// for up to about two minutes, sleeping between its steps through the time
// source; the window keeps painting meanwhile but holds presses and ticks
// until the call returns.
//
// Each relay start builds a new relay with its own port, socket, buffer and
// flags, so the threads of an earlier relay can never act on a later one. An
// ended relay is stopped at once and reaped on a later call once its threads
// have ended: the UI thread never waits for a worker, which may itself be
// waiting for its log line to be shown on the UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "app/TransferStatistics.h"
#include "config/MessageBox.h"
#include "config/Settings.h"
#include "platform/EventLog.h"
#include "platform/TimeSource.h"
#include "receiver/CommandSets.h"
#include "receiver/Diagnostics.h"
#include "receiver/GpsReceiver.h"
#include "uplink/NetworkBearer.h"
#include "uplink/Relay.h"

namespace corvane {

// What the controller does to the main window.
class RunWindow {
 public:
  virtual ~RunWindow() = default;
  // Start/Stop enabled and captioned "Stop" (running) or "Start"; Option and
  // Exit enabled exactly when not running.
  virtual void SetRunningControls(bool running) = 0;
  // Start/Stop (control 1015) disabled.
  virtual void DisableStartStop() = 0;
  // The transfer line: speed, bytes relayed and, when given, the bar.
  virtual void ShowTransfer(const TransferLine& line) = 0;
  // Starts the timer, or restarts its period when it runs; its ticks come
  // back as RunController::OnTimer(id).
  virtual void SetTimer(int id, Millis period) = 0;
  virtual void KillTimer(int id) = 0;
};

// Opens the relay port (the SerialPort setting, "COM3") at the baud rate and
// builds the relay around it; null when the port does not open.
using RelayFactory =
    std::function<std::unique_ptr<RelayLink>(std::string_view serialPort, int32_t baudRate)>;

// The port number of a SerialPort text: its fourth character minus the digit
// zero ("COM3" gives 3); 0, which names no port, for a shorter text.
int GpsPortNumber(std::string_view serialPort);

class RunController {
 public:
  static constexpr int kPositionTimer = 4321;
  static constexpr Millis kPositionPeriod{5000};
  static constexpr int kSupervisionTimer = 1234;
  static constexpr Millis kSupervisionPeriod{1000};
  // The poll that finds this many earlier polls gives up.
  static constexpr int32_t kPositionPolls = 36;
  static constexpr Millis kRelayPortPause{300};
  static constexpr Millis kDataWaitPause{2000};
  // The data wait gives up on the pass after this one.
  static constexpr int kLastDataWaitPass = 60;
  // The command set goes out again on every this many passes.
  static constexpr int kResendPasses = 10;
  // More bytes than this must arrive before the caster is connected.
  static constexpr uint32_t kStartBytes = 12;
  // The idle tick on which a stall is declared.
  static constexpr int32_t kStallTicks = 20;

  RunController(RunWindow& window, const Settings& settings, EventLog& log, MessageBoxes& boxes,
                TimeSource& time, ReceiverControl& receiver, NetworkBearer& bearer,
                RelayFactory relays, DiagnosticSinks sinks = {});
  // Ends every relay and waits for its threads: the log must no longer wait
  // for the UI thread by then.
  ~RunController();
  RunController(const RunController&) = delete;
  RunController& operator=(const RunController&) = delete;

  // The Start/Stop button.
  void OnStartStop();
  // A tick of the position or the supervision timer.
  void OnTimer(int id);
  // The window closes: the receiver and the relay port are closed.
  void OnClose();
  // The application ends from outside (a termination signal), possibly in
  // the middle of StartServer: the relay and the timers stop at once,
  // silently; a StartServer under way returns at its next step without
  // another line, and none starts any more. The receiver and the relay port
  // close as the window goes.
  void Terminate();

  // The relay's Running flag.
  bool RelayRunning() const;
  // Relays that ended but whose threads may still run.
  size_t RetiredRelays() const { return retired_.size(); }

 private:
  void Start();
  void Stop();
  void PollPosition();
  void StartServer();
  void ConnectAndStartSender();
  void Supervise();
  // Clears the relay's Running and wakes its sender, as the controller's
  // "clear Running" does; the port stays.
  void StopRelay();
  bool RelayPortOpen() const;
  void CloseRelayPort();
  int SendCommandSet();
  void Reap();
  void Trace(std::string_view text) const;

  RunWindow& window_;
  const Settings& settings_;
  EventLog& log_;
  MessageBoxes& boxes_;
  TimeSource& time_;
  ReceiverControl& receiver_;
  NetworkBearer& bearer_;
  RelayFactory relays_;
  DiagnosticSinks sinks_;

  TransferStatistics statistics_;
  std::unique_ptr<RelayLink> relay_;  // the relay of the last start that opened its port
  std::vector<std::unique_ptr<RelayLink>> retired_;
  BaseCoordinate basePosition_;    // BasePosition
  int32_t positionWaitTicks_ = 0;  // PositionWaitTicks
  bool awaitingData_ = false;      // AwaitingData
  int32_t retriesLeft_ = 0;        // RetriesLeft
  int64_t retryWaitTicks_ = 0;     // RetryWaitTicks
  int32_t idleTicks_ = 0;          // IdleTicks
  int32_t connectError_ = 0;       // ConnectError
  bool terminated_ = false;
};

}  // namespace corvane
