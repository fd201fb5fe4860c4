// The uplink: the caster handshake and the relay against loopback listeners,
// scripted ports and virtual or scaled time, and the network bearer on
// scripted routes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "fixtures/Doubles.h"
#include "fixtures/VirtualTime.h"
#include "uplink/CasterHandshake.h"
#include "uplink/NetworkBearer.h"
#include "uplink/Relay.h"
#include "uplink/UplinkRig.h"

namespace corvane::testing {
namespace {

const std::string kAgentAndEnd = "Source-Agent: NTRIP DADEDodazezuDadivo/1.0.0\n\r\n";
const std::string kRequest = "SOURCE pw M\n" + kAgentAndEnd;

// A loopback listener for the caster, a recording socket and a log, and a
// relay over the socket and a scripted port; Running is set, no thread started.
struct RelayRig {
  explicit RelayRig(TimeSource& time)
      : relay(port, std::unique_ptr<StreamSocket>(socket), log, time) {
    relay.Flags().Running = 1;
  }
  // The handshake, with the request taken off the line.
  void Connect() {
    int32_t connectError = 0;
    ASSERT_EQ(ConnectCaster(*socket, connectError, CasterAt(caster.port), log), 1);
    ASSERT_TRUE(caster.Accept());
    ASSERT_EQ(ReadUntil(caster.peer, kRequest), kRequest);
  }
  // Running, SocketFailed, SenderExited, then 1 for an open port and a valid socket.
  std::vector<int> State() {
    const RelayFlags& flags = relay.Flags();
    return {flags.Running, flags.SocketFailed, flags.SenderExited, relay.RelayPortOpen(),
            socket->IsValid()};
  }

  Listener caster;
  RecordingEventLog log;
  std::shared_ptr<ScriptedPort> port = std::make_shared<ScriptedPort>();
  RecordingSocket* socket = new RecordingSocket;  // owned by the relay
  Relay relay;
};

TEST(CasterHandshakeTest, RequestIsByteExactInTwoSends) {
  // Password, mount, the request's first line.
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"secret", "RTCM32", "SOURCE secret RTCM32\n"},
      {"", "RTCM32", "SOURCE  RTCM32\n"},      // empty password: two spaces
      {"pw", "/BASE1", "SOURCE pw /BASE1\n"},  // the slash goes out as stored
  };
  for (const auto& [password, mount, sourceLine] : cases) {
    SCOPED_TRACE(sourceLine);
    RelayRig rig(SteadyTime());
    const Settings settings = CasterAt(rig.caster.port, password, mount);
    int32_t connectError = -1;
    ASSERT_EQ(ConnectCaster(*rig.socket, connectError, settings, rig.log), 1);
    EXPECT_EQ(connectError, kConnectErrorNone);
    ASSERT_TRUE(rig.caster.Accept());
    EXPECT_EQ(ReadUntil(rig.caster.peer, kAgentAndEnd), sourceLine + kAgentAndEnd);
    EXPECT_EQ(rig.socket->Sends(), (std::vector<std::string>{sourceLine, kAgentAndEnd}));
    EXPECT_TRUE(rig.log.Events().empty());
  }
}

TEST(CasterHandshakeTest, RefusedConnectLogsErrnoThenConnectError) {
  const uint16_t unused = Listener().port;  // bound, then released: nobody listens
  RelayRig rig(SteadyTime());
  int32_t connectError = -1;
  EXPECT_EQ(ConnectCaster(*rig.socket, connectError, CasterAt(unused), rig.log), 0);
  EXPECT_EQ(connectError, kConnectErrorConnect);
  EXPECT_FALSE(rig.socket->IsValid());
  EXPECT_TRUE(rig.socket->Sends().empty());
  LogConnectError(connectError, rig.log);
  EXPECT_EQ(rig.log.Events(), (std::vector<std::string>{"GetLastErr:111\n", "Connet Err."}));

  // A host name is not looked up: it becomes the unreachable broadcast address.
  Settings named = CasterAt(rig.caster.port);
  named.CasterAddress = "localhost";
  connectError = kConnectErrorNone;
  EXPECT_EQ(ConnectCaster(*rig.socket, connectError, named, rig.log), 0);
  EXPECT_EQ(connectError, kConnectErrorConnect);
  EXPECT_FALSE(rig.caster.Accept(200));
  EXPECT_THAT(rig.log.Events(),
              ::testing::ElementsAre("GetLastErr:111\n", "Connet Err.",
                                     ::testing::MatchesRegex("GetLastErr:[0-9]+\n")));
  // Only the connect failure has a text.
  for (const int32_t code : {kConnectErrorNone, 1, 3, -1}) LogConnectError(code, rig.log);
  EXPECT_EQ(rig.log.Events().size(), 3u);
}

TEST(RelayBufferTest, OverflowDropsWhatWaitedAndKeepsTheNewChunk) {
  // The bytes waiting before a 1024-byte chunk, and whether they stay in front.
  for (const auto& [waiting, kept] : {std::pair(3500, false), {3072, false}, {3071, true}}) {
    SCOPED_TRACE(waiting);
    std::vector<uint8_t> old(static_cast<size_t>(waiting)), chunk(1024, 200), out(4096);
    std::iota(old.begin(), old.end(), uint8_t{1});
    RelayBuffer buffer;
    buffer.RelayPut(old.data(), waiting);
    buffer.RelayPut(chunk.data(), 1024);
    out.resize(static_cast<size_t>(buffer.RelayTake(out.data())));
    if (!kept) old.clear();
    old.insert(old.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(out, old);
    EXPECT_EQ(buffer.Fill(), 0);                                       // taking empties it
    EXPECT_EQ(buffer.Total(), static_cast<uint32_t>(waiting + 1024));  // dropped bytes count
  }
}

TEST(RelayTest, ReaderPausesAdaptToTheReadSize) {
  VirtualTimeSource time;
  RelayRig rig(time);
  for (const int size : {0, 511, 512}) rig.port->Add(std::string(static_cast<size_t>(size), 'a'));
  rig.port->Add("", SerialDevice::kAborted);
  rig.port->Add("", EIO);
  ASSERT_TRUE(rig.relay.StartReader());
  ASSERT_TRUE(rig.port->AwaitReads(6));
  rig.relay.CloseRelayPort();
  rig.relay.Join();
  EXPECT_EQ(time.Sleeps(),
            (std::vector<Millis>{Millis(500), Millis(30), Millis(10), Millis(100), Millis(100)}));
  EXPECT_EQ(rig.port->clearErrors, 1);  // only for the aborted read
  EXPECT_EQ(rig.relay.Buffer().Total(), 1023u);
  EXPECT_TRUE(rig.log.Events().empty());
}

// A scripted send error, and a caster that drops the connection: that one
// must come back as an error, not as a SIGPIPE that kills the process.
TEST(RelayTest, SendErrorEndsBothThreadsAndIsLoggedOnce) {
  for (const bool casterCloses : {false, true}) {
    SCOPED_TRACE(casterCloses ? "caster closes" : "send fails");
    RecordingScaledTime time(1000.0);
    RelayRig rig(time);
    rig.port->repeat = true;
    rig.port->Add(std::string(100, 'x'));
    rig.Connect();
    rig.socket->failFrom = casterCloses ? -1 : 3;  // after the request's two sends and one batch
    rig.socket->failError = ECONNRESET;
    if (casterCloses) ::close(std::exchange(rig.caster.peer, -1));
    ASSERT_TRUE(rig.relay.StartReader());
    ASSERT_TRUE(rig.relay.StartSender());
    ASSERT_TRUE(WaitUntil([&] { return rig.relay.Ended(); }));
    rig.relay.Join();
    EXPECT_EQ(rig.State(), (std::vector<int>{0, 1, 1, 0, 0}));
    const int error = rig.relay.Flags().LastSocketError;
    EXPECT_TRUE(error == ECONNRESET || (casterCloses && error == EPIPE)) << error;
    // None after the failed one.
    EXPECT_TRUE(casterCloses || rig.socket->Sends().size() == 4u) << rig.socket->Sends().size();
    EXPECT_EQ(rig.log.Events(),
              (std::vector<std::string>{"Start Ntrip Server thread!",
                                        "Socket Send Error: " + std::to_string(error)}));
    // The sender's pause; none of the reader's is as long.
    EXPECT_NE(time.ThreadOf("100"), std::thread::id{});
  }
}

// Without a connection the sender takes each batch and drops it.
TEST(RelayTest, WithoutAConnectionTheSenderDropsEachBatch) {
  ScaledTimeSource time(100.0);
  RelayRig rig(time);
  rig.port->Add("abc");
  ASSERT_TRUE(rig.relay.StartReader());
  ASSERT_TRUE(WaitUntil([&] { return rig.relay.Buffer().Total() == 3; }));
  ASSERT_TRUE(rig.relay.StartSender());
  ASSERT_TRUE(WaitUntil([&] { return rig.relay.Buffer().Fill() == 0; }));
  rig.relay.Flags().Running = 0;
  rig.relay.CloseRelayPort();
  rig.relay.Join();
  EXPECT_TRUE(rig.socket->Sends().empty());
  EXPECT_EQ(rig.State(), (std::vector<int>{0, 0, 1, 0, 0}));
  EXPECT_EQ(rig.log.Events(), std::vector<std::string>{"Start Ntrip Server thread!"});
}

// Sleeps that hold until the gate opens, to park a relay's sender in its pause.
struct GatedTime final : TimeSource {
  Millis Now() override { return Millis(0); }
  void Sleep(Millis) override {
    sleeping = true;
    open.wait(false);
  }
  bool Wait(AutoResetEvent& event, Millis) override { return event.TryConsume(); }  // never used
  std::atomic<bool> sleeping{false}, open{false};
};

TEST(RelayTest, NextRelayRunsUntouchedWhileThePreviousOneWindsDown) {
  GatedTime oldTime;
  RelayRig old(oldTime);
  old.Connect();
  ASSERT_TRUE(old.relay.StartReader());
  ASSERT_TRUE(old.relay.StartSender());
  ASSERT_TRUE(old.port->AwaitReads(1));                             // the reader waits in a read
  ASSERT_TRUE(WaitUntil([&] { return oldTime.sleeping.load(); }));  // the sender in its pause

  // The restart: the old relay is told to stop, the next one starts at once.
  // Its first bytes are put before its sender starts, and go out first.
  old.relay.Flags().Running = 0;
  ScaledTimeSource time(100.0);
  RelayRig next(time);
  next.port->Add("EARLY-BYTES");
  ASSERT_TRUE(next.relay.StartReader());
  ASSERT_TRUE(WaitUntil([&] { return next.relay.Buffer().Total() == 11; }));
  next.Connect();
  next.socket->sendLimit = 4;  // short sends: the rest of each batch must follow
  ASSERT_TRUE(next.relay.StartSender());
  EXPECT_EQ(ReadUntil(next.caster.peer, "EARLY-BYTES"), "EARLY-BYTES");

  // Now the old threads wake and run to their end, touching only their own.
  old.relay.CloseRelayPort();
  oldTime.open = true;
  oldTime.open.notify_all();
  old.relay.Join();
  EXPECT_EQ(old.State(), (std::vector<int>{0, 0, 1, 0, 0}));
  EXPECT_EQ(next.State(), (std::vector<int>{1, 0, 0, 1, 1}));
  next.port->Add("LATER");
  EXPECT_EQ(ReadUntil(next.caster.peer, "LATER"), "LATER");
}

// A stop while the sender is blocked on a dead link (a caster that accepted
// the connection and never reads) wakes the send at once, long before its
// time-out; an owner's stop is no socket failure.
TEST(RelayTest, AStopWakesASendBlockedOnADeadLink) {
  ScaledTimeSource time(100.0);
  RelayRig rig(time);
  const int small = 4096;  // a small receive window fills the link quickly
  ::setsockopt(rig.caster.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  rig.port->repeat = true;
  rig.port->Add(std::string(1024, 'x'));
  rig.Connect();
  ASSERT_TRUE(rig.relay.StartReader());
  ASSERT_TRUE(rig.relay.StartSender());
  ASSERT_TRUE(WaitUntil([&] { return rig.socket->BlockedFor(300ms); }));
  const auto stopped = std::chrono::steady_clock::now();
  rig.relay.Stop();
  rig.relay.CloseRelayPort();
  rig.relay.Join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
  EXPECT_EQ(rig.log.Events(), std::vector<std::string>{"Start Ntrip Server thread!"});
}

// Routes the caster's address once it has been asked `upAtLook` times.
class ScriptedRoutes final : public RouteSource {
 public:
  bool HasRouteTo(uint32_t address) override {
    asked.push_back(address);
    return static_cast<int>(asked.size()) >= upAtLook;
  }
  std::vector<uint32_t> asked;
  int upAtLook = 1;
};

TEST(NetworkBearerTest, AsksForTheCastersAddressAndWaitsUpToSixtySeconds) {
  EXPECT_TRUE(SystemRouteSource().HasRouteTo(inet_addr("127.3.2.1")));  // loopback is up
  ScriptedRoutes routes;
  VirtualTimeSource time;
  Settings settings;
  settings.CasterAddress = "192.168.7.9";
  NetworkBearer bearer(routes, time, settings);
  EXPECT_EQ(bearer.BearerIsUp(), 1);
  settings.CasterAddress = "10.0.0.2";  // read anew at every call
  routes.upAtLook = 6;                  // the link comes up on the sixth look
  EXPECT_EQ(bearer.EstablishBearer(), 1);
  EXPECT_EQ(time.Now(), Millis(4000));
  EXPECT_EQ(std::pair(routes.asked[0], routes.asked[5]),
            std::pair(inet_addr("192.168.7.9"), inet_addr("10.0.0.2")));

  routes.asked.clear();
  routes.upAtLook = 1000;
  const Millis start = time.Now();
  EXPECT_EQ(bearer.EstablishBearer(), 0);
  EXPECT_EQ(time.Now() - start, NetworkBearer::kEstablishTimeout);
  EXPECT_EQ(routes.asked.size(), 61u);
}

}  // namespace
}  // namespace corvane::testing
