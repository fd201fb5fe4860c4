// The run controller on scripted parts and virtual time: a window that keeps
// its timers, a receiver whose fix the test sets, relays whose byte total
// follows a script of virtual time, and a caster socket that connects or
// refuses. Timer ticks fire in time order as a window's would: a tick that
// fell due while a call blocked fires once when the call returns.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/RunController.h"
#include "fixtures/ScriptedMessageBoxes.h"
#include "fixtures/StubSerialDevice.h"
#include "fixtures/VirtualTime.h"

namespace corvane::testing {

using namespace std::chrono_literals;

// Every line with the virtual time it was logged at.
class TimedLog final : public EventLog {
 public:
  explicit TimedLog(TimeSource& time) : time_(time) {}
  void LogEvent(std::string_view text) override { lines.emplace_back(time_.Now(), text); }
  void AppendLogFile(std::string_view) override {}
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& line : lines) texts.push_back(line.second);
    return texts;
  }
  // When `text` was logged the `nth` time (0 first); -1 ms when it was not.
  Millis When(std::string_view text, int nth = 0) const {
    for (const auto& [at, line] : lines)
      if (line == text && nth-- == 0) return at;
    return Millis(-1);
  }
  int Count(std::string_view text) const {
    int count = 0;
    for (const auto& line : lines) count += line.second == text ? 1 : 0;
    return count;
  }
  std::vector<std::pair<Millis, std::string>> lines;

 private:
  TimeSource& time_;
};

class FakeWindow final : public RunWindow {
 public:
  explicit FakeWindow(TimeSource& time) : time_(time) {}
  void SetRunningControls(bool running) override {
    caption = running ? "Stop" : "Start";
    startStopEnabled = true;
    optionEnabled = !running;
  }
  void DisableStartStop() override { startStopEnabled = false; }
  void ShowTransfer(const TransferLine& line) override { transfer = line; }
  void SetTimer(int id, Millis period) override { timers[id] = {period, time_.Now() + period}; }
  void KillTimer(int id) override { timers.erase(id); }
  bool TimerOn(int id) const { return timers.count(id) != 0; }

  struct Timer {
    Millis period;
    Millis due;
  };
  std::string caption = "Start";
  bool startStopEnabled = true;
  bool optionEnabled = true;
  TransferLine transfer;
  std::map<int, Timer> timers;

 private:
  TimeSource& time_;
};

class FakeReceiver final : public ReceiverControl {
 public:
  void SelectDecoder(int32_t gpsBoard) override { board = gpsBoard; }
  bool OpenGpsPort(int port, uint32_t baudRate) override {
    openedPort = port;
    openedBaud = baudRate;
    open = opens;
    return opens;
  }
  bool IsOpen() const override { return open; }
  void CloseGpsPort() override { open = false; }
  bool AdjustTime() override { return clockSet; }
  PositionFix FixSnapshot() const override { return fix; }

  bool opens = true;
  bool open = false;
  bool clockSet = true;
  int32_t board = -1;
  int openedPort = -1;
  uint32_t openedBaud = 0;
  PositionFix fix;
};

// A relay port that takes every write; the writes are the command sets.
class RecordingPort final : public StubSerialDevice {
 public:
  int Write(const uint8_t* bytes, int count) override {
    writes.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
    return count;
  }
  std::vector<std::string> writes;
};

// A caster socket that connects or refuses, and keeps what was sent.
class ScriptedSocket final : public StreamSocket {
 public:
  explicit ScriptedSocket(int refuseWith) : refuseWith_(refuseWith) {}
  bool Create() override { return valid = true; }
  bool Connect(uint32_t, uint16_t) override { return refuseWith_ == 0; }
  int Send(const uint8_t* bytes, int count) override {
    sent.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
    return count;
  }
  void Shutdown() override {}
  void Close() override { valid = false; }
  bool IsValid() const override { return valid; }
  int LastError() const override { return refuseWith_; }

  bool valid = false;
  std::string sent;

 private:
  int refuseWith_;
};

// What a relay without threads did; kept by the rig beyond the relay's life.
struct RelayState {
  explicit RelayState(int refuseWith) : socket(refuseWith) {}
  RelayFlags flags;
  RecordingPort port;
  ScriptedSocket socket;
  bool readerStarted = false;
  bool senderStarted = false;
  Millis readerStart{0};
};

// A relay without threads. Its total follows the rig's stream script from
// the moment the reader starts; the test plays the sender's part.
class FakeRelay final : public RelayLink {
 public:
  FakeRelay(std::shared_ptr<RelayState> state, EventLog& log, TimeSource& time,
            std::function<uint32_t(Millis)> stream)
      : state_(std::move(state)), log_(log), time_(time), stream_(std::move(stream)) {}

  RelayFlags& Flags() override { return state_->flags; }
  uint32_t Total() override {
    return state_->readerStarted ? stream_(time_.Now() - state_->readerStart) : 0;
  }
  SerialDevice* RelayPort() override { return state_->port.open ? &state_->port : nullptr; }
  bool RelayPortOpen() const override { return state_->port.open; }
  void CloseRelayPort() override { state_->port.Close(); }
  StreamSocket& CasterSocket() override { return state_->socket; }
  bool StartReader() override {
    state_->readerStarted = true;
    state_->readerStart = time_.Now();
    return true;
  }
  bool StartSender() override {
    state_->senderStarted = true;
    log_.LogEvent("Start Ntrip Server thread!");
    return true;
  }
  // The sender ends within its pause; here at once.
  void Stop() override {
    state_->flags.Running = 0;
    if (state_->senderStarted) state_->flags.SenderExited = 1;
  }
  bool Ended() const override { return true; }

 private:
  std::shared_ptr<RelayState> state_;
  EventLog& log_;
  TimeSource& time_;
  std::function<uint32_t(Millis)> stream_;
};

// Routes the caster while `up` holds.
class SwitchedRoutes final : public RouteSource {
 public:
  bool HasRouteTo(uint32_t) override { return up; }
  bool up = true;
};

// 100 bytes a second from the reader's start: more than 12 by the second pass.
inline uint32_t SteadyStream(Millis since) {
  return static_cast<uint32_t>(since.count() / 10);
}

struct RunRig {
  RunRig() {
    settings.SerialPort = "COM3";
    settings.SerialPortRate = 115200;
    settings.CasterAddress = "127.0.0.1";
    settings.Port = 2101;
    settings.Mount = "M";
    settings.PassWord = "pw";
    settings.ReConnect_Times = 3;
    settings.Interval = 2;
    settings.GPSBoard = kBoardTrimble;  // a 150 ms command set
    settings.DiffType = kDiffRtcm32;
    settings.Coordinate = kCoordinateAutonomous;
    receiver.fix.FixQuality = 1;
    receiver.fix.Latitude = 35.5;
    receiver.fix.Longitude = 138.25;
    receiver.fix.Altitude = 1003.5;
  }

  void Press() { controller.OnStartStop(); }

  // Fires the window's timers in time order until virtual time `until`.
  void RunUntil(Millis until) {
    for (;;) {
      auto next = window.timers.end();
      for (auto it = window.timers.begin(); it != window.timers.end(); ++it)
        if (next == window.timers.end() || it->second.due < next->second.due) next = it;
      if (next == window.timers.end() || next->second.due > until) break;
      time.AdvanceTo(next->second.due);
      const int id = next->first;
      // Due ticks missed while a call blocked collapse into one.
      next->second.due += next->second.period;
      if (next->second.due <= time.Now()) next->second.due = time.Now() + next->second.period;
      controller.OnTimer(id);
    }
    time.AdvanceTo(until);
  }
  void RunFor(Millis span) { RunUntil(time.Now() + span); }

  RelayState& Relay(size_t index) { return *relays.at(index); }
  RelayState& LastRelay() { return *relays.back(); }
  // What the relay's sender does on a failed send; it ends (SenderExited)
  // after its pause, which the test marks when it matters.
  void FailSend(int error) {
    RelayFlags& flags = LastRelay().flags;
    flags.LastSocketError = error;
    flags.Running = 0;
    flags.SocketFailed = 1;
    log.LogEvent("Socket Send Error: " + std::to_string(error));
  }
  // How many command sets went out on relay `index`'s port.
  int CommandSets(size_t index) {
    int sets = 0;
    for (const std::string& write : Relay(index).port.writes)
      sets += write.size() == PreludePacket.size() ? 1 : 0;
    return sets;
  }

  VirtualTimeSource time;
  TimedLog log{time};
  std::vector<std::string> traces;
  FakeWindow window{time};
  ScriptedMessageBoxes boxes;
  FakeReceiver receiver;
  SwitchedRoutes routes;
  Settings settings;
  NetworkBearer bearer{routes, time, settings};
  bool portOpens = true;
  int refuseWith = 0;  // the caster refuses connects with this error; 0 accepts
  std::function<uint32_t(Millis)> stream = SteadyStream;
  std::vector<std::shared_ptr<RelayState>> relays;
  RunController controller{
      window,
      settings,
      log,
      boxes,
      time,
      receiver,
      bearer,
      [this](std::string_view, int32_t) -> std::unique_ptr<RelayLink> {
        if (!portOpens) return nullptr;
        relays.push_back(std::make_shared<RelayState>(refuseWith));
        return std::make_unique<FakeRelay>(relays.back(), log, time,
                                           [this](Millis t) { return stream(t); });
      },
      {[this](std::string_view text) { traces.emplace_back(text); }, [](std::string_view) {}}};
};

}  // namespace corvane::testing
