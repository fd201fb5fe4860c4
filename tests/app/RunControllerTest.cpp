#include "app/RunController.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/RunRig.h"

namespace corvane {
namespace {

using testing::RunRig;
using namespace std::chrono_literals;
using Lines = std::vector<std::pair<Millis, std::string>>;

constexpr int kPosition = RunController::kPositionTimer;
constexpr int kSupervision = RunController::kSupervisionTimer;

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
  EXPECT_EQ(rig.window.caption, "Stop");
  EXPECT_FALSE(rig.window.optionEnabled);
  EXPECT_EQ(std::tie(rig.receiver.board, rig.receiver.openedPort, rig.receiver.openedBaud),
            std::make_tuple(kBoardTrimble, 3, 115200u));
  rig.RunUntil(14600ms);

  Lines expected = kUntilTheConnect;
  expected.insert(expected.end(), {{kConnected, "Connect Server Successfully!"},
                                   {kConnected, "Start Ntrip Server thread!"}});
  EXPECT_EQ(rig.log.lines, expected);
  EXPECT_EQ(rig.traces, (std::vector<std::string>{"Init DiffType Data 1 Times\r\n",
                                                  "Connect Ntrip Successfully!\r\n"}));
  EXPECT_FALSE(rig.receiver.open);  // closed before the relay port opened
  EXPECT_EQ(rig.relays.size(), 1u);
  EXPECT_EQ(rig.CommandSets(0), 2);
  EXPECT_EQ(rig.Relay(0).socket.sent,
            "SOURCE pw M\nSource-Agent: NTRIP DADEDodazezuDadivo/1.0.0\n\r\n");
  EXPECT_TRUE(rig.Relay(0).senderStarted);
  EXPECT_TRUE(rig.controller.RelayRunning());
  EXPECT_FALSE(rig.window.TimerOn(kPosition));
  EXPECT_EQ(rig.window.timers.at(kSupervision).due, 15600ms);  // ticks since 9600 ms, once a second
  EXPECT_EQ(rig.window.caption, "Stop");
  EXPECT_TRUE(rig.window.startStopEnabled);
  EXPECT_EQ(rig.window.transfer.Sent, "915 B");

  // An operator's Stop ends it all.
  rig.Press();
  EXPECT_EQ(rig.log.lines.back().second, "User Stop");
  EXPECT_FALSE(rig.controller.RelayRunning());
  EXPECT_FALSE(rig.Relay(0).port.open);
  EXPECT_TRUE(rig.window.timers.empty());
  EXPECT_EQ(rig.window.caption, "Start");
}

TEST(RunControllerTest, TheBasePositionFollowsTheCoordinateSetting) {
  for (const int32_t coordinate : {kCoordinateAutonomous, kCoordinateInput, 2}) {
    RunRig rig;
    rig.settings.Coordinate = coordinate;
    rig.settings.BaseLat = -12.25;
    rig.settings.BaseLon = 77.5;
    rig.settings.BaseH = 10.0;
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

TEST(RunControllerTest, ThePositionWaitGivesUpOnThe37thPoll) {
  for (const bool fixOnPoll36 : {false, true}) {
    RunRig rig;
    rig.receiver.fix.FixQuality = 0;
    rig.Press();
    rig.RunUntil(179999ms);
    if (fixOnPoll36) rig.receiver.fix.FixQuality = 1;
    rig.RunUntil(185000ms);
    if (fixOnPoll36) {
      EXPECT_EQ(rig.log.When("Get Valid Position!"), 180000ms);
      continue;
    }
    EXPECT_EQ(rig.log.Count("Invalid Position,pls wait.."), 36);
    EXPECT_EQ(rig.log.When("Invalid Position,pls wait..", 35), 180000ms);
    EXPECT_EQ(rig.log.lines.back(),
              std::make_pair(185000ms, std::string("Pls check the port or baudrate!")));
    EXPECT_EQ(rig.log.When("Init GPS Board Failed!"), 185000ms);
    EXPECT_FALSE(rig.receiver.open);
    EXPECT_FALSE(rig.window.TimerOn(kPosition));
    EXPECT_EQ(rig.window.caption, "Start");
    EXPECT_TRUE(rig.relays.empty());
  }
}

TEST(RunControllerTest, StartPressesWhileTheReceiverIsOpenOrMissing) {
  RunRig rig;
  rig.receiver.fix.FixQuality = 0;
  rig.Press();
  rig.Press();  // Running is clear, but the receiver is open: a Stop
  EXPECT_EQ(rig.log.Texts().back(), "User Stop");
  EXPECT_FALSE(rig.receiver.open);
  EXPECT_TRUE(rig.window.timers.empty());
  EXPECT_EQ(rig.window.caption, "Start");

  // The receiver was closed behind the controller's back (its retry worker
  // gave up): the next poll says so and returns to idle.
  rig.Press();
  rig.receiver.open = false;
  rig.RunFor(5000ms);
  EXPECT_EQ(rig.log.Texts().back(), "Open Port first!");
  EXPECT_FALSE(rig.window.TimerOn(kPosition));
  EXPECT_EQ(rig.window.caption, "Start");

  // A port name too short to hold a number names port 0, which never opens.
  rig.settings.SerialPort = "CO";
  rig.receiver.opens = false;
  rig.Press();
  EXPECT_EQ(rig.receiver.openedPort, 0);
  EXPECT_EQ(rig.log.Texts().back(), "Open GPS Port Failed!");
  EXPECT_EQ(rig.window.caption, "Start");
  EXPECT_TRUE(rig.window.timers.empty());
  EXPECT_EQ(GpsPortNumber("COM9"), 9);
  EXPECT_EQ(GpsPortNumber("COM"), 0);
}

TEST(RunControllerTest, TheDataWaitNeedsMoreThanTwelveBytes) {
  for (const uint32_t bytes : {12u, 13u}) {
    RunRig rig;
    rig.stream = [bytes](Millis) { return bytes; };
    rig.Press();
    rig.RunUntil(200000ms);
    if (bytes == 13) {
      EXPECT_EQ(rig.log.When("Connect Server Successfully!"), kReaderStart);
      continue;
    }
    // 61 passes of 2 s, with the set sent again on passes 0, 10, ..., 60.
    for (int k = 1; k <= 7; ++k) {
      const std::string line = "Init DiffType Data " + std::to_string(k) + " Times\r\n";
      EXPECT_EQ(rig.log.When(line), kReaderStart + (k - 1) * (20000ms + 150ms)) << k;
    }
    EXPECT_EQ(rig.log.Count("Init DiffType Data 8 Times\r\n"), 0);
    EXPECT_EQ(rig.CommandSets(0), 8);
    EXPECT_EQ(rig.log.lines.back(), std::make_pair(kReaderStart + 61 * 2000ms + 7 * 150ms,
                                                   std::string("SerialPort no Data.")));
    EXPECT_FALSE(rig.Relay(0).socket.valid);  // never connected
    EXPECT_FALSE(rig.Relay(0).port.open);
    EXPECT_FALSE(rig.controller.RelayRunning());
    EXPECT_TRUE(rig.window.timers.empty());
    EXPECT_EQ(rig.window.caption, "Start");
  }
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
  EXPECT_EQ(rig.log.lines, expected);
  EXPECT_EQ(rig.traces.back(), "Connect Ntrip Server Failed!\r\n");
  EXPECT_EQ(rig.relays.size(), 1u);
  EXPECT_FALSE(rig.Relay(0).port.open);
  EXPECT_FALSE(rig.Relay(0).senderStarted);
  EXPECT_TRUE(rig.window.timers.empty());
  EXPECT_EQ(rig.window.caption, "Start");
}

// 100 bytes a second for 3 s after the reader starts, then silence: the last
// growth is seen on the first tick (9600 ms), the eight-tick sum is zero from
// 17600 ms, and the 20th such tick is at 36600 ms.
uint32_t StreamThenSilence(Millis since) {
  return static_cast<uint32_t>(std::min(since, 3000ms).count() / 10);
}
constexpr Millis kStall{36600};

TEST(RunControllerTest, AStallWithoutRetriesGivesUp) {
  RunRig rig;
  rig.settings.ReConnect_Times = 0;
  rig.stream = StreamThenSilence;
  rig.Press();
  rig.RunUntil(100000ms);
  EXPECT_EQ(rig.log.When("SerialPort Data break off."), kStall);
  EXPECT_EQ(rig.log.lines.back(),
            std::make_pair(kStall, std::string("Start Ntrip Server Failed!")));
  EXPECT_EQ(rig.relays.size(), 1u);
  EXPECT_TRUE(rig.window.timers.empty());
  EXPECT_EQ(rig.window.caption, "Start");
}

TEST(RunControllerTest, RetriesCountDownAndAHandshakeRefillsThem) {
  // Restarts that cannot connect: 2, 1, 0, then a silent end.
  RunRig rig;
  rig.stream = StreamThenSilence;
  rig.Press();
  rig.RunUntil(kStall - 1ms);
  rig.refuseWith = 111;
  rig.RunUntil(200000ms);
  std::vector<std::string> retries;
  for (const std::string& text : rig.log.Texts())
    if (text.starts_with("Retry Start")) retries.push_back(text);
  EXPECT_EQ(retries,
            (std::vector<std::string>{"Retry Start 2.", "Retry Start 1.", "Retry Start 0."}));
  EXPECT_EQ(rig.log.When("Retry Start 2."), kStall);
  EXPECT_EQ(rig.relays.size(), 4u);
  EXPECT_EQ(rig.log.Texts().back(), "Connet Err.");  // the end itself is silent
  EXPECT_TRUE(rig.window.timers.empty());
  EXPECT_EQ(rig.window.caption, "Start");
  EXPECT_EQ(rig.traces.back(), "\r\n*");

  // Restarts that connect: each handshake refills the budget.
  RunRig refilled;
  refilled.stream = StreamThenSilence;
  refilled.Press();
  refilled.RunUntil(200000ms);
  EXPECT_GE(refilled.log.Count("Retry Start 2."), 3);
  EXPECT_EQ(refilled.log.Count("Retry Start 1."), 0);
  EXPECT_TRUE(refilled.controller.RelayRunning());
}

TEST(RunControllerTest, IdleTicksOfSeparateBreaksAddUp) {
  RunRig rig;
  // Bytes until 9000 ms, none until 32000 ms (15 zero-sum ticks, 17600 to
  // 31600 ms), a burst seen at 32600 ms, then none: the fifth zero-sum tick
  // of the second break, 12 s after its last byte, is the 20th in all.
  rig.stream = [](Millis since) -> uint32_t {
    const Millis at = since + kReaderStart;
    if (at <= 9000ms) return static_cast<uint32_t>(since.count() / 10);
    return at < 32000ms ? 355 : 455;
  };
  rig.Press();
  rig.RunUntil(60000ms);
  EXPECT_EQ(rig.log.When("SerialPort Data break off."), 44600ms);
  EXPECT_EQ(rig.log.When("Retry Start 2."), 44600ms);
}

TEST(RunControllerTest, ASendErrorIsReportedOnTheNextTickAndRetriedAfterTheWait) {
  for (const int32_t interval : {0, 2}) {
    RunRig rig;
    rig.settings.Interval = interval;
    rig.Press();
    rig.RunUntil(12000ms);
    rig.FailSend(104);
    rig.RunUntil(13000ms);
    EXPECT_EQ(rig.log.When("Socket Send Error: 104"), 12000ms);
    EXPECT_EQ(rig.log.When("Socket Err:104\r\n"), 12600ms);
    if (interval == 0) {
      EXPECT_EQ(rig.log.When("Retry Start 2."), 12600ms);  // on the first tick
      continue;
    }
    EXPECT_EQ(rig.window.caption, "Start");
    EXPECT_TRUE(rig.window.optionEnabled);
    rig.RunUntil(20000ms);
    // The retry starts on the (2 x Interval + 1)-th tick after the stop.
    EXPECT_EQ(rig.log.When("Retry Start 2."), 16600ms);
    EXPECT_EQ(rig.relays.size(), 2u);
    EXPECT_EQ(std::count(rig.traces.begin(), rig.traces.end(), "+"), 4);
    EXPECT_EQ(rig.traces.back(), "\r\nReStart\r\n");
  }
}

TEST(RunControllerTest, AStartPressDuringTheRetryWaitMeetsTheGuard) {
  RunRig rig;
  rig.Press();
  rig.RunUntil(12000ms);
  rig.FailSend(104);
  rig.RunUntil(13000ms);
  rig.receiver.fix.FixQuality = 0;
  rig.Press();  // the caption reads "Start"
  EXPECT_TRUE(rig.receiver.open);
  EXPECT_EQ(rig.log.Texts().back(), "Invalid Position,please wait..");
  rig.receiver.fix.FixQuality = 1;
  // The retry at 16600 ms starts a relay; the position poll that fell due
  // meanwhile finds the fix and meets it in StartServer's guard.
  rig.RunUntil(21500ms);
  EXPECT_EQ(rig.log.When("Retry Start 2."), 16600ms);
  EXPECT_EQ(rig.log.When("User Stop Send."), 21500ms);
  EXPECT_FALSE(rig.controller.RelayRunning());
  EXPECT_EQ(rig.relays.size(), 2u);
  EXPECT_FALSE(rig.receiver.open);
  // The guard spent the retries: the next ticks restore the idle controls
  // and end the wait without another start.
  rig.RunUntil(40000ms);
  EXPECT_EQ(rig.log.Count("Retry Start 1."), 0);
  EXPECT_EQ(rig.relays.size(), 2u);
  EXPECT_TRUE(rig.window.timers.empty());
  EXPECT_EQ(rig.window.caption, "Start");
  EXPECT_TRUE(rig.window.startStopEnabled);
}

TEST(RunControllerTest, TheWindowsCloseClosesTheReceiverAndTheRelayPort) {
  RunRig waiting;
  waiting.receiver.fix.FixQuality = 0;
  waiting.Press();
  waiting.controller.OnClose();
  EXPECT_FALSE(waiting.receiver.open);
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

TEST(RunControllerTest, FailuresBeforeTheRelayRuns) {
  // No route to the caster within 60 s.
  RunRig rig;
  rig.routes.up = false;
  rig.Press();
  rig.RunUntil(5000ms);
  ASSERT_EQ(rig.boxes.shown.size(), 1u);
  EXPECT_EQ(rig.boxes.shown[0].Text, u"Please check your Network!");
  EXPECT_EQ(rig.boxes.shown[0].Caption, u"Prompt");
  EXPECT_EQ(rig.boxes.shown[0].Icon, MessageIcon::Exclamation);
  EXPECT_EQ(rig.log.lines.back(),
            std::make_pair(65000ms, std::string("Please check the Network!")));
  EXPECT_TRUE(rig.relays.empty());
  EXPECT_EQ(rig.window.caption, "Start");

  // The relay port does not open.
  RunRig closed;
  closed.portOpens = false;
  closed.Press();
  closed.RunUntil(100000ms);
  EXPECT_EQ(closed.log.Texts().back(), "Open SerialPort Failed.");
  EXPECT_TRUE(closed.window.timers.empty());
  EXPECT_EQ(closed.window.caption, "Start");
}

}  // namespace
}  // namespace corvane
