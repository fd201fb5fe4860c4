// The run controller on scripted parts and virtual time: a window that keeps
// its timers, a receiver whose fix the test sets, relays whose byte total
// follows a script of virtual time, and a caster socket that connects or
// refuses. Timer ticks fire in time order as a window's would: a tick that
// fell due while a call blocked fires once when the call returns.
#include "app/RunController.h"

#include <gtest/gtest.h>

#include <map>

#include "fixtures/Doubles.h"
#include "fixtures/VirtualTime.h"
#include "uplink/Relay.h"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::pair<Millis, std::string>>;
constexpr int kSupervision = RunController::kSupervisionTimer;

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
  bool readerStarted = false, senderStarted = false;
  Millis readerStart{0};
};

// The run's surroundings in one: a window that keeps its timers, a receiver
// whose fix the test sets, routes to the caster while `routeUp` holds, and a
// log that keeps each line with the virtual time it was logged at. A Trimble
// receiver on COM3 (a 150 ms command set), a caster at 127.0.0.1:2101, three
// retries two ticks apart, and 100 bytes a second from the reader's start:
// more than 12 by the second data-wait pass.
struct RunRig final : RunWindow, ReceiverControl, RouteSource, EventLog {
  void SetRunningControls(bool running) override {
    caption = running ? "Stop" : "Start";
    startStopEnabled = true;
    optionEnabled = !running;
  }
  void DisableStartStop() override { startStopEnabled = false; }
  void ShowTransfer(const TransferLine& line) override { transfer = line; }
  void SetTimer(int id, Millis period) override { timers[id] = {period, time.Now() + period}; }
  void KillTimer(int id) override { timers.erase(id); }
  // Back to rest: Start offered and enabled, Option too, no timer running.
  bool Idle() const {
    return caption == "Start" && startStopEnabled && optionEnabled && timers.empty();
  }

  void SelectDecoder(int32_t gpsBoard) override { board = gpsBoard; }
  bool OpenGpsPort(int port, uint32_t baudRate) override {
    std::tie(openedPort, openedBaud, open) = std::tuple(port, baudRate, opens);
    return opens;
  }
  bool IsOpen() const override { return open; }
  void CloseGpsPort() override { open = false; }
  bool AdjustTime() override { return true; }
  PositionFix FixSnapshot() const override { return fix; }
  bool HasRouteTo(uint32_t) override { return routeUp; }

  void LogEvent(std::string_view text) override { lines.emplace_back(time.Now(), text); }
  void AppendLogFile(std::string_view) override {}
  // When `text` was logged the `nth` time (0 first); -1 ms when it was not.
  Millis When(std::string_view text, int nth = 0) const {
    for (const auto& [at, line] : lines)
      if (line == text && nth-- == 0) return at;
    return Millis(-1);
  }

  void Press() { controller.OnStartStop(); }

  // Fires the window's timers in time order until virtual time `until`.
  void RunUntil(Millis until) {
    for (;;) {
      auto next = timers.end();
      for (auto it = timers.begin(); it != timers.end(); ++it)
        if (next == timers.end() || it->second.due < next->second.due) next = it;
      if (next == timers.end() || next->second.due > until) break;
      time.AdvanceTo(next->second.due);
      const int id = next->first;
      // Due ticks missed while a call blocked collapse into one.
      next->second.due += next->second.period;
      if (next->second.due <= time.Now()) next->second.due = time.Now() + next->second.period;
      controller.OnTimer(id);
    }
    time.AdvanceTo(until);
  }

  RelayState& Relay(size_t index) { return *relays.at(index); }
  // What the relay's sender does on a failed send; it ends (SenderExited)
  // after its pause, which the test marks when it matters.
  void FailSend(int error) {
    RelayFlags& flags = relays.back()->flags;
    flags.LastSocketError = error;
    flags.Running = 0;
    flags.SocketFailed = 1;
    LogEvent("Socket Send Error: " + std::to_string(error));
  }

  VirtualTimeSource time;
  Lines lines;
  std::string caption = "Start";
  bool startStopEnabled = true, optionEnabled = true;
  TransferLine transfer;
  struct Timer {
    Millis period, due;
  };
  std::map<int, Timer> timers;
  bool opens = true, open = false, routeUp = true;
  int32_t board = -1;
  int openedPort = -1;
  uint32_t openedBaud = 0;
  PositionFix fix{.FixQuality = 1, .Latitude = 35.5, .Longitude = 138.25, .Altitude = 1003.5};
  std::vector<std::string> traces;
  ScriptedMessageBoxes boxes;
  // clang-format off
  Settings settings{.CasterAddress = {"127.0.0.1"}, .Port = 2101, .Mount = {"M"}, .PassWord = {"pw"},
      .ReConnect_Times = 3, .Interval = 2, .SerialPort = {"COM3"}, .SerialPortRate = 115200,
      .GPSBoard = kBoardTrimble, .DiffType = kDiffRtcm32, .Coordinate = kCoordinateAutonomous};
  // clang-format on
  NetworkBearer bearer{*this, time, settings};
  bool portOpens = true;
  int refuseWith = 0;  // the caster refuses connects with this error; 0 accepts
  std::function<uint32_t(Millis)> stream = [](Millis since) {
    return static_cast<uint32_t>(since.count() / 10);
  };
  std::vector<std::shared_ptr<RelayState>> relays;
  // A relay without threads, its state kept by the rig. Its total follows
  // `stream` from the moment the reader starts; the test plays the sender's part.
  struct FakeRelay final : RelayLink {
    FakeRelay(RunRig& rig, std::shared_ptr<RelayState> state) : rig(rig), state(std::move(state)) {}
    RelayFlags& Flags() override { return state->flags; }
    uint32_t Total() override {
      return state->readerStarted ? rig.stream(rig.time.Now() - state->readerStart) : 0;
    }
    SerialDevice* RelayPort() override { return state->port.open ? &state->port : nullptr; }
    bool RelayPortOpen() const override { return state->port.open; }
    void CloseRelayPort() override { state->port.Close(); }
    StreamSocket& CasterSocket() override { return state->socket; }
    bool StartReader() override {
      state->readerStarted = true;
      state->readerStart = rig.time.Now();
      return true;
    }
    bool StartSender() override {
      state->senderStarted = true;
      rig.LogEvent("Start Ntrip Server thread!");
      return true;
    }
    // The sender ends within its pause; here at once.
    void Stop() override {
      state->flags.Running = 0;
      if (state->senderStarted) state->flags.SenderExited = 1;
    }
    bool Ended() const override { return true; }
    RunRig& rig;
    std::shared_ptr<RelayState> state;
  };
  std::unique_ptr<RelayLink> OpenRelay() {
    if (!portOpens) return nullptr;
    relays.push_back(std::make_shared<RelayState>(refuseWith));
    return std::make_unique<FakeRelay>(*this, relays.back());
  }
  DiagnosticSinks sinks{[this](std::string_view text) { traces.emplace_back(text); },
                        [](std::string_view) {}};
  RunController controller{
      *this, settings, *this,  boxes,
      time,  *this,    bearer, [this](std::string_view, int32_t) { return OpenRelay(); },
      sinks};
};

// With a valid fix on the first poll, Trimble's 150 ms command set and 100
// bytes a second: the reader starts at 5450 ms, the caster is connected on
// the second data-wait pass at 7600 ms, and supervision ticks from 9600 ms.
constexpr Millis kReaderStart{5450};
constexpr Millis kConnected{7600};
const Lines kUntilTheConnect = {
    {0ms, "Open GPS Port Successfully!"},  {0ms, "Invalid Position,please wait.."},
    {5000ms, "Get Valid Position!"},       {5000ms, "Adjust Time OK!"},
    {5000ms, "Reopen port successfully!"}, {kReaderStart, "Init DiffType Data 1 Times\r\n"}};

TEST(RunControllerTest, ANormalRunLogsEachStepOnItsTick) {
  RunRig rig;
  rig.Press();
  EXPECT_EQ(std::tie(rig.caption, rig.optionEnabled), std::tuple("Stop", false));
  EXPECT_EQ(std::tie(rig.board, rig.openedPort, rig.openedBaud),
            std::make_tuple(kBoardTrimble, 3, 115200u));
  rig.RunUntil(14600ms);

  Lines expected = kUntilTheConnect;
  expected.insert(expected.end(), {{kConnected, "Connect Server Successfully!"},
                                   {kConnected, "Start Ntrip Server thread!"}});
  EXPECT_EQ(rig.lines, expected);
  EXPECT_EQ(rig.traces, (std::vector<std::string>{"Init DiffType Data 1 Times\r\n",
                                                  "Connect Ntrip Successfully!\r\n"}));
  EXPECT_FALSE(rig.open);                          // closed before the relay port opened
  EXPECT_EQ(rig.Relay(0).port.writes.size(), 4u);  // two command sets of two packets
  EXPECT_EQ(rig.Relay(0).socket.sent,
            "SOURCE pw M\nSource-Agent: NTRIP DADEDodazezuDadivo/1.0.0\n\r\n");
  EXPECT_TRUE(rig.controller.RelayRunning());
  EXPECT_EQ(rig.timers.at(kSupervision).due, 15600ms);  // ticks since 9600 ms, once a second
  EXPECT_EQ(std::tie(rig.caption, rig.startStopEnabled), std::tuple("Stop", true));
  EXPECT_EQ(rig.transfer.Sent, "915 B");

  // An operator's Stop ends it all.
  rig.Press();
  EXPECT_EQ(rig.lines.back().second, "User Stop");
  EXPECT_FALSE(rig.controller.RelayRunning() || rig.Relay(0).port.open);
  EXPECT_TRUE(rig.Idle());
}

TEST(RunControllerTest, TheBasePositionFollowsTheCoordinateSetting) {
  for (const int32_t coordinate : {kCoordinateAutonomous, kCoordinateInput, 2}) {
    RunRig rig;
    rig.settings.Coordinate = coordinate;
    std::tie(rig.settings.BaseLat, rig.settings.BaseLon, rig.settings.BaseH) =
        std::tuple(-12.25, 77.5, 10.0);
    rig.Press();
    rig.RunUntil(5000ms);
    const bool own = coordinate == kCoordinateAutonomous;
    uint8_t expected[kBasePacketSize];
    BuildBasePacket(expected, sizeof expected, own ? 35.5 : -12.25, own ? 138.25 : 77.5,
                    own ? 1003.5 : 10.0);
    ASSERT_GE(rig.Relay(0).port.writes.size(), 2u);
    EXPECT_EQ(rig.Relay(0).port.writes[1],
              std::string(reinterpret_cast<const char*>(expected), kBasePacketSize))
        << coordinate;
  }
}

TEST(RunControllerTest, StartPressesWhileTheReceiverIsOpenOrMissing) {
  RunRig rig;
  rig.fix.FixQuality = 0;
  rig.Press();
  rig.Press();  // Running is clear, but the receiver is open: a Stop
  EXPECT_EQ(rig.lines.back().second, "User Stop");
  EXPECT_FALSE(rig.open);
  EXPECT_TRUE(rig.Idle());

  // The receiver was closed behind the controller's back (its retry worker
  // gave up): the next poll says so and returns to idle.
  rig.Press();
  rig.open = false;
  rig.RunUntil(5000ms);
  EXPECT_EQ(rig.lines.back().second, "Open Port first!");
  EXPECT_TRUE(rig.Idle());

  // A port name too short to hold a number names port 0, which never opens.
  rig.settings.SerialPort = "CO";
  rig.opens = false;
  rig.Press();
  EXPECT_EQ(rig.openedPort, 0);
  EXPECT_EQ(rig.lines.back().second, "Open GPS Port Failed!");
  EXPECT_TRUE(rig.Idle());
}

TEST(RunControllerTest, AFailedHandshakeIsNotRepeated) {
  RunRig rig;
  rig.refuseWith = 111;
  rig.Press();
  rig.RunUntil(300000ms);
  Lines expected = kUntilTheConnect;
  expected.insert(expected.end(), {{kConnected, "GetLastErr:111\n"},
                                   {kConnected, "Connect Server Failed!"},
                                   {kConnected, "Connet Err."}});
  EXPECT_EQ(rig.lines, expected);
  EXPECT_EQ(rig.traces.back(), "Connect Ntrip Server Failed!\r\n");
  EXPECT_FALSE(rig.Relay(0).port.open);
  EXPECT_TRUE(rig.Idle());
}

// 100 bytes a second for 3 s after the reader starts, then silence: the last
// growth is seen on the first tick (9600 ms), the eight-tick sum is zero from
// 17600 ms, and the 20th such tick is at 36600 ms.
uint32_t StreamThenSilence(Millis since) {
  return static_cast<uint32_t>(std::min(since, 3000ms).count() / 10);
}
constexpr Millis kStall{36600};

// Each wait and count ends on its tick: `line` (its `nth` time) is logged at
// `at`; a row that `ends` the run has it last, the receiver closed and the
// controls at rest.
TEST(RunControllerTest, EachWaitAndCountEndsOnItsTick) {
  const auto noFix = [](RunRig& rig) { rig.fix.FixQuality = 0; };
  const auto noRoute = [](RunRig& rig) { rig.routeUp = false; };
  const auto noRelayPort = [](RunRig& rig) { rig.portOpens = false; };
  const auto bytes = [](uint32_t total) {
    return [total](RunRig& rig) { rig.stream = [total](Millis) { return total; }; };
  };
  const auto stall = [](int32_t retries) {
    return [retries](RunRig& rig) {
      rig.settings.ReConnect_Times = retries;
      rig.stream = StreamThenSilence;
    };
  };
  // Bytes until 9000 ms, none until 32000 ms (15 zero-sum ticks, 17600 to
  // 31600 ms), a burst seen at 32600 ms, then none: the fifth zero-sum tick
  // of the second break, 12 s after its last byte, is the 20th in all.
  const auto twoBreaks = [](RunRig& rig) {
    rig.stream = [](Millis since) -> uint32_t {
      const Millis at = since + kReaderStart;
      if (at <= 9000ms) return static_cast<uint32_t>(since.count() / 10);
      return at < 32000ms ? 355 : 455;
    };
  };
  const auto interval = [](int32_t ticks) {
    return [ticks](RunRig& rig) { rig.settings.Interval = ticks; };
  };
  struct Row {
    std::function<void(RunRig&)> setUp;
    Millis until;
    std::string line;
    int nth;
    Millis at;
    bool ends;
    bool sendError = false;  // at 12 s
  };
  const Millis noData = kReaderStart + 61 * 2000ms + 7 * 150ms;
  const Row rows[] = {
      // The 36th poll still takes a fix; the 37th gives up.
      {noFix, 185000ms, "Invalid Position,pls wait..", 35, 180000ms, false},
      {noFix, 185000ms, "Init GPS Board Failed!", 0, 185000ms, false},
      {noFix, 185000ms, "Pls check the port or baudrate!", 0, 185000ms, true},
      // The data wait needs more than 12 bytes: 61 passes of 2 s, with the
      // set sent again on passes 0, 10, ..., 60.
      {bytes(13), 20000ms, "Connect Server Successfully!", 0, kReaderStart, false},
      {bytes(12), 200000ms, "Init DiffType Data 7 Times\r\n", 0, kReaderStart + 6 * 20150ms, false},
      {bytes(12), 200000ms, "SerialPort no Data.", 0, noData, true},
      {stall(0), 100000ms, "SerialPort Data break off.", 0, kStall, false},
      {stall(0), 100000ms, "Start Ntrip Server Failed!", 0, kStall, true},
      {twoBreaks, 60000ms, "Retry Start 2.", 0, 44600ms, false},
      // No route to the caster within 60 s; a relay port that does not open.
      {noRoute, 70000ms, "Please check the Network!", 0, 65000ms, true},
      {noRelayPort, 70000ms, "Open SerialPort Failed.", 0, 5000ms, true},
      // A send error at 12 s: reported on the next tick, retried on the
      // (2 x Interval + 1)-th tick after it.
      {interval(2), 20000ms, "Socket Err:104\r\n", 0, 12600ms, false, true},
      {interval(2), 20000ms, "Retry Start 2.", 0, 16600ms, false, true},
      {interval(0), 20000ms, "Retry Start 2.", 0, 12600ms, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    RunRig rig;
    row.setUp(rig);
    rig.Press();
    rig.RunUntil(std::min(row.until, 12000ms));
    if (row.sendError) rig.FailSend(104);
    rig.RunUntil(row.until);
    EXPECT_EQ(rig.When(row.line, row.nth), row.at);
    if (!row.ends) continue;
    EXPECT_EQ(rig.lines.back(), std::make_pair(row.at, row.line));
    EXPECT_FALSE(rig.open);
    EXPECT_TRUE(rig.Idle());
  }
}

TEST(RunControllerTest, StallRetriesCountDownAndAHandshakeRefillsThem) {
  // Restarts that cannot connect: 2, 1, 0, then a silent end.
  RunRig rig;
  rig.stream = StreamThenSilence;
  rig.Press();
  rig.RunUntil(kStall - 1ms);
  rig.refuseWith = 111;
  rig.RunUntil(200000ms);
  std::vector<std::string> retries;
  for (const auto& [at, text] : rig.lines)
    if (text.starts_with("Retry Start")) retries.push_back(text);
  EXPECT_EQ(retries,
            (std::vector<std::string>{"Retry Start 2.", "Retry Start 1.", "Retry Start 0."}));
  EXPECT_EQ(rig.relays.size(), 4u);
  EXPECT_EQ(rig.lines.back().second, "Connet Err.");  // the end itself is silent
  EXPECT_TRUE(rig.Idle());
  EXPECT_EQ(rig.traces.back(), "\r\n*");

  // Restarts that connect: each handshake refills the budget.
  RunRig refilled;
  refilled.stream = StreamThenSilence;
  refilled.Press();
  refilled.RunUntil(200000ms);
  EXPECT_NE(refilled.When("Retry Start 2.", 2), Millis(-1));
  EXPECT_EQ(refilled.When("Retry Start 1."), Millis(-1));
  EXPECT_TRUE(refilled.controller.RelayRunning());
}

TEST(RunControllerTest, AStartPressDuringTheRetryWaitMeetsTheGuard) {
  RunRig rig;
  rig.Press();
  rig.RunUntil(12000ms);
  rig.FailSend(104);
  rig.RunUntil(13000ms);
  rig.fix.FixQuality = 0;
  rig.Press();  // the caption reads "Start"
  EXPECT_TRUE(rig.open);
  EXPECT_EQ(rig.lines.back().second, "Invalid Position,please wait..");
  rig.fix.FixQuality = 1;
  // The retry at 16600 ms starts a relay; the position poll that fell due
  // meanwhile finds the fix and meets it in StartServer's guard.
  rig.RunUntil(21500ms);
  EXPECT_EQ(rig.When("Retry Start 2."), 16600ms);
  EXPECT_EQ(rig.When("User Stop Send."), 21500ms);
  EXPECT_FALSE(rig.controller.RelayRunning() || rig.open);
  EXPECT_EQ(rig.relays.size(), 2u);
  // The guard spent the retries: the next ticks restore the idle controls
  // and end the wait without another start.
  rig.RunUntil(40000ms);
  EXPECT_EQ(rig.When("Retry Start 1."), Millis(-1));
  EXPECT_EQ(rig.relays.size(), 2u);
  EXPECT_TRUE(rig.Idle());
}

TEST(RunControllerTest, TheWindowsCloseClosesTheReceiverAndTheRelayPort) {
  RunRig waiting;
  waiting.fix.FixQuality = 0;
  waiting.Press();
  waiting.controller.OnClose();
  EXPECT_FALSE(waiting.open);
  EXPECT_TRUE(waiting.time.Sleeps().empty());

  RunRig relaying;
  relaying.Press();
  relaying.RunUntil(10000ms);
  const size_t sleeps = relaying.time.Sleeps().size();
  relaying.controller.OnClose();
  EXPECT_FALSE(relaying.Relay(0).port.open);
  EXPECT_EQ(relaying.time.Sleeps().size(), sleeps + 1);
  EXPECT_EQ(relaying.time.Sleeps().back(), 300ms);  // for the reader to let go of the port
}

TEST(RunControllerTest, NoRouteShowsTheOneBoxAndOpensNoRelay) {
  RunRig rig;
  rig.routeUp = false;
  rig.Press();
  rig.RunUntil(70000ms);
  EXPECT_EQ(rig.boxes.shown, (Boxes{{u"Please check your Network!", u"Prompt", MessageButtons::Ok,
                                     MessageIcon::Exclamation}}));
  EXPECT_TRUE(rig.relays.empty());
}

}  // namespace
}  // namespace corvane::testing
