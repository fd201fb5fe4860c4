// The uplink: the caster handshake and the relay against loopback listeners,
// scripted ports and virtual or scaled time, and the network bearer on
// scripted routes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <thread>

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
  // Running, SocketFailed, SenderExited.
  std::vector<int> State() {
    return {relay.Flags().Running, relay.Flags().SocketFailed, relay.Flags().SenderExited};
  }

  Listener caster;
  RecordingEventLog log;
  std::shared_ptr<ScriptedPort> port = std::make_shared<ScriptedPort>();
  RecordingSocket* socket = new RecordingSocket;  // owned by the relay
  Relay relay;
};

TEST(CasterHandshakeTest, RequestIsByteExactAndOnlyAFailedConnectIsLogged) {
  RelayRig rig(SteadyTime());
  int32_t connectError = -1;
  // An empty password leaves two spaces; the mount's slash goes out as stored.
  const Settings settings = CasterAt(rig.caster.port, "", "/BASE1");
  ASSERT_EQ(ConnectCaster(*rig.socket, connectError, settings, rig.log), 1);
  EXPECT_EQ(connectError, kConnectErrorNone);
  ASSERT_TRUE(rig.caster.Accept());
  EXPECT_EQ(ReadUntil(rig.caster.peer, kAgentAndEnd), "SOURCE  /BASE1\n" + kAgentAndEnd);

  // Nobody listens at a port that was bound and released; a host name is not
  // looked up but becomes the unreachable broadcast address.
  Settings named = CasterAt(rig.caster.port);
  named.CasterAddress = "localhost";
  for (const Settings& refused : {CasterAt(Listener().port), named}) {
    connectError = kConnectErrorNone;
    EXPECT_EQ(ConnectCaster(*rig.socket, connectError, refused, rig.log), 0);
    EXPECT_EQ(connectError, kConnectErrorConnect);
    EXPECT_FALSE(rig.socket->IsValid());
    LogConnectError(connectError, rig.log);
  }
  // Only the connect failure has a text.
  for (const int32_t code : {kConnectErrorNone, 1, 3, -1}) LogConnectError(code, rig.log);
  EXPECT_THAT(rig.log.Events(), ::testing::ElementsAre(
                                    "GetLastErr:111\n", "Connet Err.",
                                    ::testing::MatchesRegex("GetLastErr:[0-9]+\n"), "Connet Err."));
}

// A chunk that would overflow the buffer drops what waited, never itself;
// the dropped bytes still count in the total the transfer line shows.
TEST(RelayBufferTest, OverflowDropsWhatWaitedAndKeepsTheNewChunk) {
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
    EXPECT_EQ(std::pair(buffer.Fill(), buffer.Total()),
              std::pair(0, static_cast<uint32_t>(waiting + 1024)));
  }
}

// A caster that stops reading holds the sender up after a bounded backlog, so
// that the relay's own buffer, and not the kernel's, decides what a slow
// caster loses.
TEST(TcpSocketTest, ACasterThatStopsReadingHoldsTheSenderUpWithinABoundedBacklog) {
  Listener caster;  // never reads
  TcpSocket socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect(htonl(INADDR_LOOPBACK), caster.port));
  ASSERT_TRUE(caster.Accept());
  std::atomic<size_t> taken{0};
  std::thread sender([&] {
    const std::vector<uint8_t> chunk(1024);
    for (int sent; (sent = socket.Send(chunk.data(), 1024)) > 0;)
      taken += static_cast<size_t>(sent);
  });
  size_t backlog = 0;
  do {
    backlog = taken;
    std::this_thread::sleep_for(300ms);
  } while (taken != backlog);
  socket.Shutdown();
  sender.join();
  // The caster's receive buffer and ours; autotuned, ours alone takes megabytes.
  EXPECT_LT(backlog, 512u * 1024);
}

TEST(RelayTest, ReaderPausesAdaptToTheReadSize) {
  VirtualTimeSource time;
  RelayRig rig(time);
  for (const int size : {0, 511, 512}) rig.port->Add(std::string(static_cast<size_t>(size), 'a'));
  rig.port->Add("", EIO);
  ASSERT_TRUE(rig.relay.StartReader());
  ASSERT_TRUE(WaitUntil([&] { return time.Sleeps().size() == 4; }));
  rig.relay.CloseRelayPort();
  rig.relay.Join();
  EXPECT_EQ(time.Sleeps(), (std::vector<Millis>{Millis(500), Millis(30), Millis(10), Millis(100)}));
  EXPECT_EQ(rig.relay.Buffer().Total(), 1023u);
  EXPECT_TRUE(rig.log.Events().empty());
}

// A caster that drops the connection: the send error must come back as an
// error, not as a SIGPIPE that kills the process.
TEST(RelayTest, SendErrorEndsBothThreadsAndIsLoggedOnce) {
  RecordingScaledTime time(1000.0);
  RelayRig rig(time);
  rig.port->repeat = true;
  rig.port->Add(std::string(100, 'x'));
  rig.Connect();
  ::close(std::exchange(rig.caster.peer, -1));
  ASSERT_TRUE(rig.relay.StartReader());
  ASSERT_TRUE(rig.relay.StartSender());
  ASSERT_TRUE(WaitUntil([&] { return rig.relay.Ended(); }));
  rig.relay.Join();
  EXPECT_EQ(rig.State(), (std::vector<int>{0, 1, 1}));
  const int error = rig.relay.Flags().LastSocketError;
  EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << error;
  EXPECT_EQ(rig.log.Events(),
            (std::vector<std::string>{"Start Ntrip Server thread!",
                                      "Socket Send Error: " + std::to_string(error)}));
  // The sender's pause; none of the reader's is as long.
  EXPECT_NE(time.ThreadOf("100"), std::thread::id{});
}

// Without a connection the sender takes each batch and drops it.
TEST(RelayTest, WithoutAConnectionTheSenderDropsEachBatch) {
  ScaledTimeSource time(100.0);
  RelayRig rig(time);
  rig.port->Add("abc");
  ASSERT_TRUE(rig.relay.StartReader());
  ASSERT_TRUE(rig.relay.StartSender());
  ASSERT_TRUE(WaitUntil([&] { return rig.relay.Total() == 3 && rig.relay.Buffer().Fill() == 0; }));
  rig.relay.Abort();
  rig.relay.Join();
  // Taken, so past the point where it would have been sent.
  EXPECT_EQ(rig.socket->sends, 0);
  EXPECT_EQ(rig.State(), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(rig.log.Events(), std::vector<std::string>{"Start Ntrip Server thread!"});
}

// The bytes go out unchanged and in order, the rest of a batch after each
// short send. Then the caster stops reading; a stop while the sender is
// blocked on that dead link wakes the send at once, long before its
// time-out, and an owner's stop is no socket failure.
TEST(RelayTest, RelaysInOrderAndAStopWakesASendBlockedOnADeadLink) {
  ScaledTimeSource time(100.0);
  RelayRig rig(time);
  const int small = 4096;  // a small receive window fills the link quickly
  ::setsockopt(rig.caster.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  rig.port->Add("EARLY-BYTES");
  ASSERT_TRUE(rig.relay.StartReader());
  rig.Connect();
  rig.socket->sendLimit = 4;
  ASSERT_TRUE(rig.relay.StartSender());
  EXPECT_EQ(ReadUntil(rig.caster.peer, "EARLY-BYTES"), "EARLY-BYTES");

  rig.port->repeat = true;
  rig.port->Add(std::string(1024, 'x'));
  ASSERT_TRUE(WaitUntil([&] { return rig.socket->BlockedFor(300ms); }));
  const auto stopped = std::chrono::steady_clock::now();
  rig.relay.Abort();  // Stop, and the port closed
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

// One look at once, then one a second, for a minute at most.
TEST(NetworkBearerTest, LooksForTheCastersRouteEverySecondForAMinute) {
  EXPECT_TRUE(SystemRouteSource().HasRouteTo(inet_addr("127.3.2.1")));  // loopback is up
  ScriptedRoutes routes;
  VirtualTimeSource time;
  Settings settings;
  settings.CasterAddress = "10.0.0.2";
  NetworkBearer bearer(routes, time, settings);
  routes.upAtLook = 6;
  EXPECT_EQ(bearer.EstablishBearer(), 1);
  EXPECT_EQ(time.Now(), Millis(5000));
  EXPECT_EQ(routes.asked, std::vector<uint32_t>(6, inet_addr("10.0.0.2")));

  routes.asked.clear();
  routes.upAtLook = 1000;
  EXPECT_EQ(bearer.EstablishBearer(), 0);
  EXPECT_EQ(time.Now(), Millis(5000) + NetworkBearer::kEstablishTimeout);
  EXPECT_EQ(routes.asked.size(), 61u);
}

}  // namespace
}  // namespace corvane::testing
