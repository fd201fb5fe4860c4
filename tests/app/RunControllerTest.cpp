// The run controller on scripted parts and virtual time: a window that keeps
// its timers, a receiver whose fix the test sets, relays whose byte total
// follows a script of virtual time, and a caster socket that connects or
// refuses. Timer ticks fire in time order as a window's would: a tick that
// fell due while a call blocked fires once when the call returns.
#include "app/RunController.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "fixtures/Doubles.h"
#include "fixtures/VirtualTime.h"
#include "uplink/Relay.h"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::pair<Millis, std::string>>;

// A relay port that takes every write; the writes are the command sets.
class RecordingPort final : public StubSerialDevice {
 public:
  int Write(const uint8_t* bytes, int count) override {
    if (writes.size() == cutAt) {
      cut();
      return -1;
    }
    writes.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
    return count;
  }
  std::vector<std::string> writes;
  // The end of the application comes during write `cutAt` (0 first), which
  // fails as the reader's closing of the port makes it.
  size_t cutAt = SIZE_MAX;
  std::function<void()> cut;
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
  }
  void DisableStartStop() override { startStopEnabled = false; }
  void ShowTransfer(const TransferLine& line) override { transfer = line; }
  void SetTimer(int id, Millis period) override { timers[id] = {period, time.Now() + period}; }
  void KillTimer(int id) override { timers.erase(id); }
  // Back to rest: Start offered and enabled, no timer running.
  bool Idle() const { return caption == "Start" && startStopEnabled && timers.empty(); }

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
  // The first of `expected` that was not logged at its time after the ones
  // before it; empty when all were.
  std::string Missing(const Lines& expected) const {
    auto from = lines.begin();
    for (const auto& line : expected)
      if ((from = std::find(from, lines.end(), line)) == lines.end()) return line.second;
    return {};
  }

  void Press() { controller.OnStartStop(); }

  // Fires the window's timers in time order until virtual time `until`.
  void RunUntil(Millis until) {
    for (;;) {
      const auto next = std::min_element(timers.begin(), timers.end(), [](auto& a, auto& b) {
        return a.second.due < b.second.due;
      });
      if (next == timers.end() || next->second.due > until) break;
      time.AdvanceTo(next->second.due);
      // Due ticks missed while a call blocked collapse into one.
      next->second.due += next->second.period;
      if (next->second.due <= time.Now()) next->second.due = time.Now() + next->second.period;
      controller.OnTimer(next->first);
    }
    time.AdvanceTo(until);
  }

  // What the relay's sender does on a failed send; it ends (SenderExited)
  // after its pause, which the test marks when it matters.
  void FailSend(int error) {
    RelayFlags& flags = relays.back()->flags;
    flags.LastSocketError = error;
    flags.Running = 0;
    flags.SocketFailed = 1;
  }

  // A relay without threads that is its own caster socket: it connects
  // unless the rig refused connects when it was built, and its total follows
  // `stream` from the moment the reader starts. The test plays the sender's
  // part. It never reports its threads ended, so that the controller keeps
  // every relay the test looks at.
  struct FakeRelay final : RelayLink, StreamSocket {
    explicit FakeRelay(RunRig& rig) : rig(rig), refuseWith(rig.refuseWith) {}
    RelayFlags& Flags() override { return flags; }
    uint32_t Total() override {
      return readerStart ? rig.stream(rig.time.Now() - *readerStart) : 0;
    }
    SerialDevice* RelayPort() override { return port.open ? &port : nullptr; }
    bool RelayPortOpen() const override { return port.open; }
    void CloseRelayPort() override { port.Close(); }
    StreamSocket& CasterSocket() override { return *this; }
    bool StartReader() override {
      readerStart = rig.time.Now();
      return true;
    }
    bool StartSender() override {
      senderStarted = true;
      rig.LogEvent("Start Ntrip Server thread!");
      return true;
    }
    // The sender ends within its pause; here at once.
    void Stop() override {
      flags.Running = 0;
      if (senderStarted) flags.SenderExited = 1;
    }
    bool Ended() const override { return false; }

    bool Create() override { return true; }
    bool Connect(uint32_t, uint16_t) override { return refuseWith == 0; }
    int Send(const uint8_t* bytes, int count) override {
      sent.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
      return count;
    }
    void Shutdown() override {}
    void Close() override {}
    bool IsValid() const override { return true; }
    int LastError() const override { return refuseWith; }

    RunRig& rig;
    int refuseWith;
    RelayFlags flags;
    RecordingPort port;
    std::optional<Millis> readerStart;
    bool senderStarted = false;
    std::string sent;
  };
  std::unique_ptr<RelayLink> OpenRelay() {
    if (!portOpens) return nullptr;
    auto relay = std::make_unique<FakeRelay>(*this);
    relay->port.cutAt = cutAtWrite;
    relay->port.cut = [this] { controller.Terminate(); };
    relays.push_back(relay.get());
    return relay;
  }

  VirtualTimeSource time;
  Lines lines;
  std::string caption = "Start";
  bool startStopEnabled = true;
  TransferLine transfer;
  struct Timer {
    Millis period, due;
  };
  std::map<int, Timer> timers;
  bool opens = true, open = false, routeUp = true, portOpens = true;
  int32_t board = -1;
  int openedPort = -1;
  uint32_t openedBaud = 0;
  PositionFix fix{.FixQuality = 1, .Latitude = 35.5, .Longitude = 138.25, .Altitude = 1003.5};
  ScriptedMessageBoxes boxes;
  // clang-format off
  Settings settings{.CasterAddress = {"127.0.0.1"}, .Port = 2101, .Mount = {"M"}, .PassWord = {"pw"},
      .ReConnect_Times = 3, .Interval = 2, .SerialPort = {"COM3"}, .SerialPortRate = 115200,
      .GPSBoard = kBoardTrimble, .DiffType = kDiffRtcm32, .Coordinate = kCoordinateAutonomous};
  // clang-format on
  NetworkBearer bearer{*this, time, settings};
  size_t cutAtWrite = SIZE_MAX;
  int refuseWith = 0;  // relays built now refuse connects with this error; 0 accepts
  std::function<uint32_t(Millis)> stream = [](Millis since) {
    return static_cast<uint32_t>(since.count() / 10);
  };
  std::vector<FakeRelay*> relays;  // owned by the controller, which keeps them all
  RunController controller{
      *this, settings, *this,  boxes,
      time,  *this,    bearer, [this](std::string_view, int32_t) { return OpenRelay(); }};
};

// The base packet of a command set for this position.
std::string BasePacket(double latitude, double longitude, double height) {
  uint8_t bytes[kBasePacketSize];
  BuildBasePacket(bytes, sizeof bytes, latitude, longitude, height);
  return {reinterpret_cast<const char*>(bytes), kBasePacketSize};
}

// With a valid fix on the first poll, Trimble's 150 ms command set, the 300 ms
// pause for the port and 100 bytes a second: the reader starts at 5450 ms,
// the caster is connected on the second data-wait pass at 7600 ms, and
// supervision ticks from 9600 ms.
constexpr Millis kReaderStart{5450};
constexpr Millis kConnected{7600};

TEST(RunControllerTest, ANormalRunLogsEachStepOnItsTick) {
  RunRig rig;
  rig.Press();
  EXPECT_EQ(std::tie(rig.caption, rig.board, rig.openedPort, rig.openedBaud),
            std::make_tuple("Stop", kBoardTrimble, 3, 115200u));
  rig.RunUntil(14600ms);

  const Lines expected = {{0ms, "Open GPS Port Successfully!"},
                          {0ms, "Invalid Position,please wait.."},
                          {5000ms, "Get Valid Position!"},
                          {5000ms, "Adjust Time OK!"},
                          {5000ms, "Reopen port successfully!"},
                          {kReaderStart, "Init DiffType Data 1 Times\r\n"},
                          {kConnected, "Connect Server Successfully!"},
                          {kConnected, "Start Ntrip Server thread!"}};
  EXPECT_EQ(rig.lines, expected);
  EXPECT_FALSE(rig.open);  // closed before the relay port opened
  const RunRig::FakeRelay& relay = *rig.relays.at(0);
  // Two command sets of two packets, the second the base packet of the fix.
  ASSERT_EQ(relay.port.writes.size(), 4u);
  EXPECT_EQ(relay.port.writes[1], BasePacket(35.5, 138.25, 1003.5));
  EXPECT_EQ(relay.sent, "SOURCE pw M\nSource-Agent: NTRIP DADEDodazezuDadivo/1.0.0\n\r\n");
  // Ticks since 9600 ms, once a second.
  EXPECT_EQ(rig.timers.at(RunController::kSupervisionTimer).due, 15600ms);
  EXPECT_EQ(std::tie(rig.caption, rig.startStopEnabled, rig.transfer.Sent),
            std::tuple("Stop", true, "915 B"));

  // An operator's Stop ends it all.
  rig.Press();
  EXPECT_EQ(rig.lines.back().second, "User Stop");
  EXPECT_FALSE(rig.controller.RelayRunning() || relay.port.open);
  EXPECT_TRUE(rig.Idle());
}

// The application ends while the data wait's first command set goes out: the
// set is cut short, but nothing failed, and nothing more is logged.
TEST(RunControllerTest, AnEndDuringACommandSetLogsNoFailure) {
  RunRig rig;
  rig.stream = [](Millis) { return 0u; };
  rig.cutAtWrite = 2;  // the first write of the data wait's first set
  rig.Press();
  rig.RunUntil(10000ms);
  EXPECT_EQ(rig.lines.back(),
            std::make_pair(kReaderStart, std::string("Init DiffType Data 1 Times\r\n")));
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

// 100 bytes a second for 3 s after the reader starts, then silence: the last
// growth is seen on the first tick (9600 ms), the eight-tick sum is zero from
// 17600 ms, and the 20th such tick is at 36600 ms.
constexpr Millis kStall{36600};

// Each wait and count ends on its tick: the `expected` lines are logged in
// their order at their times; a row that `ends` the run has the last of them
// last, the receiver closed and the controls at rest. At 12 s each row may
// act (`at12s`). A box shows only when there is no route to the caster.
TEST(RunControllerTest, EachWaitAndCountEndsOnItsTick) {
  const auto noRoute = [](RunRig& rig) { rig.routeUp = false; };
  const auto noRelayPort = [](RunRig& rig) { rig.portOpens = false; };
  const auto silence = [](int32_t retries) {
    return [retries](RunRig& rig) {
      rig.settings.ReConnect_Times = retries;
      rig.stream = [](Millis since) {
        return static_cast<uint32_t>(std::min(since, 3000ms).count() / 10);
      };
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
  const auto refuse = [](RunRig& rig) { rig.refuseWith = 111; };
  struct Row {
    std::function<void(RunRig&)> setUp;
    Millis until;
    Lines expected;
    bool ends;
    std::function<void(RunRig&)> at12s = [](RunRig&) {};
  };
  const Boxes networkBox = {
      {u"Please check your Network!", u"Prompt", MessageButtons::Ok, MessageIcon::Exclamation}};
  const Millis noData = kReaderStart + 61 * 2000ms + 7 * 150ms;
  const Row rows[] = {
      // The 36th poll still takes a fix; the 37th gives up.
      {[](RunRig& rig) { rig.fix.FixQuality = 0; },
       190000ms,
       {{180000ms, "Invalid Position,pls wait.."},
        {185000ms, "Init GPS Board Failed!"},
        {185000ms, "Pls check the port or baudrate!"}},
       true},
      // The data wait needs more than 12 bytes: 61 passes of 2 s, with the
      // set sent again on passes 0, 10, ..., 60.
      {[](RunRig& rig) { rig.stream = [](Millis) { return 12u; }; },
       200000ms,
       {{kReaderStart + 6 * 20150ms, "Init DiffType Data 7 Times\r\n"},
        {noData, "SerialPort no Data."}},
       true},
      // A stall without retries ends the run; idle ticks of separate breaks
      // add up.
      {silence(0),
       100000ms,
       {{kStall, "SerialPort Data break off."}, {kStall, "Start Ntrip Server Failed!"}},
       true},
      {twoBreaks, 60000ms, {{44600ms, "Retry Start 2."}}, false},
      // Restarts that connect refill the budget; restarts that cannot count
      // it down through the retry wait, and its end is silent.
      {silence(3), 70000ms, {{kStall, "Retry Start 2."}, {68500ms, "Retry Start 2."}}, false},
      {silence(3),
       100000ms,
       {{kStall, "Retry Start 2."},
        {45500ms, "Retry Start 1."},
        {54100ms, "Retry Start 0."},
        {56700ms, "Connet Err."}},
       true,
       refuse},
      // A refused connect ends the run at once, not to be retried.
      {refuse,
       300000ms,
       {{kConnected, "GetLastErr:111\n"},
        {kConnected, "Connect Server Failed!"},
        {kConnected, "Connet Err."}},
       true},
      // No route to the caster within 60 s; a relay port that does not open.
      {noRoute, 70000ms, {{65000ms, "Please check the Network!"}}, true},
      {noRelayPort, 70000ms, {{5000ms, "Open SerialPort Failed."}}, true},
      // A send error at 12 s: reported on the next tick, retried on the
      // (2 x Interval + 1)-th tick after it, the fifth.
      {[](RunRig&) {},
       20000ms,
       {{12600ms, "Socket Err:104\r\n"}, {16600ms, "Retry Start 2."}},
       false,
       [](RunRig& rig) { rig.FailSend(104); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected.back().second);
    RunRig rig;
    row.setUp(rig);
    rig.Press();
    rig.RunUntil(12000ms);
    row.at12s(rig);
    rig.RunUntil(row.until);
    EXPECT_EQ(rig.Missing(row.expected), "");
    EXPECT_EQ(rig.boxes.shown, rig.routeUp ? Boxes{} : networkBox);
    if (!row.ends) continue;
    EXPECT_EQ(rig.lines.back(), row.expected.back());
    EXPECT_FALSE(rig.open);
    EXPECT_TRUE(rig.Idle());
  }
}

TEST(RunControllerTest, AStartPressDuringTheRetryWaitMeetsTheGuard) {
  RunRig rig;
  rig.settings.Coordinate = kCoordinateInput;
  std::tie(rig.settings.BaseLat, rig.settings.BaseLon, rig.settings.BaseH) =
      std::tuple(-12.25, 77.5, 10.0);
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
  EXPECT_EQ(rig.Missing({{16600ms, "Retry Start 2."}, {21500ms, "User Stop Send."}}), "");
  EXPECT_FALSE(rig.controller.RelayRunning() || rig.open);
  // The base position entered in the settings, not the fix's.
  EXPECT_EQ(rig.relays.at(0)->port.writes.at(1), BasePacket(-12.25, 77.5, 10.0));
  // The guard spent the retries: the next ticks restore the idle controls
  // and end the wait without another start.
  rig.RunUntil(40000ms);
  EXPECT_EQ(rig.relays.size(), 2u);
  EXPECT_TRUE(rig.Idle());

  // The window's close gives the reader time to let go of the relay port.
  rig.controller.OnClose();
  EXPECT_FALSE(rig.relays.back()->port.open);
  EXPECT_EQ(rig.time.Sleeps().back(), 300ms);
}

}  // namespace
}  // namespace corvane::testing
