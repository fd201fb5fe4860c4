// The uplink: the caster handshake and the relay against loopback listeners,
// scripted ports and virtual or scaled time; corvane-caster as a program; and
// the whole chain over real parts, where a pseudo-terminal stands in for the
// receiver's cable and RTKLIB's str2str pulls the stream back out of the
// caster as an independent NTRIP client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "fixtures/Files.h"
#include "fixtures/RecordingEventLog.h"
#include "fixtures/VirtualTime.h"
#include "receiver/ComLink.h"
#include "receiver/RelayPort.h"
#include "uplink/CasterHandshake.h"
#include "uplink/Relay.h"
#include "uplink/UplinkRig.h"

namespace corvane {
namespace {

using namespace testing;

const std::string kAgentAndEnd = "Source-Agent: NTRIP DADEDodazezuDadivo/1.0.0\n\r\n";
const std::string kRequest = "SOURCE pw M\n" + kAgentAndEnd;
const std::string kCaster = CORVANE_BIN_DIR "/corvane-caster";

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
  struct Case {
    std::string password, mount, sourceLine;
  };
  const Case cases[] = {
      {"secret", "RTCM32", "SOURCE secret RTCM32\n"},
      {"", "RTCM32", "SOURCE  RTCM32\n"},      // empty password: two spaces
      {"pw", "/BASE1", "SOURCE pw /BASE1\n"},  // the slash goes out as stored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sourceLine);
    RelayRig rig(SteadyTime());
    const Settings settings = CasterAt(rig.caster.port, c.password, c.mount);
    int32_t connectError = -1;
    ASSERT_EQ(ConnectCaster(*rig.socket, connectError, settings, rig.log), 1);
    EXPECT_EQ(connectError, kConnectErrorNone);
    ASSERT_TRUE(rig.caster.Accept());
    EXPECT_EQ(ReadUntil(rig.caster.peer, kAgentAndEnd), c.sourceLine + kAgentAndEnd);
    EXPECT_EQ(rig.socket->Sends(), (std::vector<std::string>{c.sourceLine, kAgentAndEnd}));
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
}

TEST(RelayBufferTest, OverflowDropsWhatWaitedAndKeepsTheNewChunk) {
  // The bytes waiting before a 1024-byte chunk, and whether they stay in front.
  for (const auto& [waiting, kept] :
       std::vector<std::pair<int, bool>>{{3500, false}, {3072, false}, {3071, true}}) {
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
    ScaledTimeSource time(1000.0);
    RelayRig rig(time);
    rig.port->repeat = true;
    rig.port->Add(std::string(100, 'x'));
    rig.Connect();
    rig.socket->failFrom = casterCloses ? -1 : 3;  // after the request's two sends and one batch
    rig.socket->failError = ECONNRESET;
    if (casterCloses) ::close(std::exchange(rig.caster.peer, -1));
    ASSERT_TRUE(rig.relay.StartReader());
    ASSERT_TRUE(rig.relay.StartSender());
    ASSERT_TRUE(Eventually([&] { return rig.relay.Ended(); }));
    rig.relay.Join();
    EXPECT_EQ(rig.State(), (std::vector<int>{0, 1, 1, 0, 0}));
    const int error = rig.relay.Flags().LastSocketError;
    EXPECT_TRUE(error == ECONNRESET || (casterCloses && error == EPIPE)) << error;
    if (!casterCloses) {
      EXPECT_EQ(rig.socket->Sends().size(), 4u);  // none after the failed one
    }
    EXPECT_EQ(rig.log.Events(),
              (std::vector<std::string>{"Start Ntrip Server thread!",
                                        "Socket Send Error: " + std::to_string(error)}));
  }
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
  ASSERT_TRUE(old.port->AwaitReads(1));                              // the reader waits in a read
  ASSERT_TRUE(Eventually([&] { return oldTime.sleeping.load(); }));  // the sender in its pause

  // The restart: the old relay is told to stop, the next one starts at once.
  // Its first bytes are put before its sender starts, and go out first.
  old.relay.Flags().Running = 0;
  ScaledTimeSource time(100.0);
  RelayRig next(time);
  next.port->Add("EARLY-BYTES");
  ASSERT_TRUE(next.relay.StartReader());
  ASSERT_TRUE(Eventually([&] { return next.relay.Buffer().Total() == 11; }));
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
  EXPECT_EQ(next.relay.Buffer().Total(), 11u);
  next.port->Add("LATER");
  EXPECT_EQ(ReadUntil(next.caster.peer, "LATER"), "LATER");

  // Stopped as the owner does: Running cleared, the port closed.
  next.relay.Flags().Running = 0;
  next.relay.CloseRelayPort();
  next.relay.Join();
  EXPECT_EQ(next.State(), (std::vector<int>{0, 0, 1, 0, 0}));
  EXPECT_EQ(next.log.Events(), std::vector<std::string>{"Start Ntrip Server thread!"});
}

// The port from the caster's first line, "listening 127.0.0.1:<port> mount /<mount>".
uint16_t ListeningPort(ChildProcess& caster) {
  const std::string line = ReadUntil(caster.output, " mount ");
  return static_cast<uint16_t>(std::atoi(line.substr(line.find(':') + 1).c_str()));
}

// A loopback connection to the caster that has sent `request`; -1 when the
// connection failed.
int Connect(uint16_t port, std::string_view request = {}) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// CPU seconds the process has used so far.
double CpuSeconds(pid_t pid) {
  const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::vector<double> numbers;
  for (std::string field; fields >> field;) numbers.push_back(std::atof(field.c_str()));
  // Fields 14 and 15, user and system time, counted from the state (3).
  return (numbers.at(11) + numbers.at(12)) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

TEST(CasterToolTest, AnswersByPasswordAndMountWithOrWithoutItsSlash) {
  ChildProcess caster({kCaster, "--port", "0", "--mount", "/BASE", "--password", "pw"});
  const uint16_t port = ListeningPort(caster);
  const std::pair<std::string, std::string> cases[] = {
      {"SOURCE wrong BASE\n\r\n", "ERROR - Bad Password\r\n"},
      {"SOURCE pw OTHER\n\r\n", "ERROR - Bad Mountpoint\r\n"},
      {"SOURCE pw BASE\n\r\n", "ICY 200 OK\r\n"},
      {"SOURCE pw /BASE\n\r\n", "ERROR - Mount Point Taken or Invalid\r\n"},  // so matched
      {"GET /BASE HTTP/1.0\r\n\r\n", "ICY 200 OK\r\n"},
  };
  std::vector<int> connections;
  for (const auto& [request, reply] : cases) {
    SCOPED_TRACE(request);
    const int fd = connections.emplace_back(Connect(port, request));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadUntil(fd, reply), reply);
  }
  for (const int fd : connections) ::close(fd);
  EXPECT_EQ(caster.Stop(SIGINT), 0);
}

// The statistics line names the RTCM 3 message types of its second: all five
// of the capture while it arrives, none once the source is quiet.
TEST(CasterToolTest, StatisticsNameTheRtcm3TypesOfTheSecond) {
  ChildProcess caster({kCaster, "--port", "0", "--mount", "M", "--password", "pw"});
  const uint16_t port = ListeningPort(caster);
  EXPECT_TRUE(caster.AwaitLine("clients=0 types=-\n"));
  const std::string capture = ReadFileBytes(CORVANE_SOURCE_DIR "/tests/data/rtcm3/testglo.rtcm3");
  const int source = Connect(port, "SOURCE pw M\r\n\r\n" + capture);
  ASSERT_GE(source, 0);
  // The capture may arrive across two seconds' lines.
  std::istringstream lines(ReadUntil(caster.output, "bytes=57931 ") + caster.ReadLine());
  std::string named;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("source=up") != std::string::npos)
      named += line.substr(line.find("types=") + 6) + ",";
  }
  for (const char* type : {"1004,", "1005,", "1012,", "1019,", "1020,"})
    EXPECT_THAT(named, ::testing::HasSubstr(type));
  EXPECT_TRUE(caster.AwaitLine("bytes=57931 rate=0 clients=0 types=-\n"));
  ::close(source);
  EXPECT_EQ(caster.Stop(SIGINT), 0);
}

// Out of descriptors the caster waits instead of spinning, takes the source as
// soon as descriptors are freed, and drops a peer that has not finished its
// request within 10 s.
TEST(CasterToolTest, SilentPeersNeitherSpinNorLockTheSourceOut) {
  ChildProcess caster(
      {"/bin/sh", "-c", "ulimit -n 16 && exec " + kCaster + " --port 0 --mount M --password pw"});
  const uint16_t port = ListeningPort(caster);
  const auto start = std::chrono::steady_clock::now();
  std::vector<int> silent;
  for (int i = 0; i < 14; ++i) silent.push_back(Connect(port));
  const int source = Connect(port, "SOURCE pw M\r\n\r\n");
  ASSERT_GE(source, 0);
  std::this_thread::sleep_for(500ms);
  const double cpu = CpuSeconds(caster.Pid());
  std::this_thread::sleep_for(1500ms);
  EXPECT_LT(CpuSeconds(caster.Pid()) - cpu, 0.3) << "spins while out of descriptors";

  for (size_t i = 1; i < silent.size(); ++i) ::close(silent[i]);
  EXPECT_EQ(ReadUntil(source, "ICY 200 OK\r\n"), "ICY 200 OK\r\n");
  pollfd first{silent[0], POLLIN, 0};
  EXPECT_EQ(::poll(&first, 1, 0), 0) << "dropped before its 10 s";
  EXPECT_EQ(::poll(&first, 1, 12000), 1);
  const auto dropped = std::chrono::steady_clock::now() - start;
  EXPECT_GE(dropped, 9500ms);
  EXPECT_LT(dropped, 11500ms);
  char byte = 0;
  EXPECT_EQ(::recv(silent[0], &byte, 1, MSG_DONTWAIT), 0) << "closed by the caster";
  ::close(silent[0]);
  ::close(source);
  EXPECT_EQ(caster.Stop(SIGINT), 0);
}

TEST(RelayEndToEndTest, PtyStreamReachesTheCasterAndAnNtripClientUnchanged) {
  ASSERT_TRUE(std::filesystem::exists("/usr/bin/str2str")) << "install the rtklib package";
  ComLink link;
  ASSERT_TRUE(link.Ready());
  const auto casterFile = link.Home() / "caster.bin", clientFile = link.Home() / "client.bin";
  ChildProcess caster(
      {kCaster, "--port", "0", "--mount", "M", "--password", "pw", "--out", casterFile.string()});
  const uint16_t port = ListeningPort(caster);
  // The client joins first, so it sees the stream from its first byte.
  ChildProcess client({"/usr/bin/str2str", "-in",
                       "ntrip://:@127.0.0.1:" + std::to_string(port) + "/M", "-out",
                       "file://" + clientFile.string()});
  ASSERT_TRUE(caster.AwaitLine("clients=1"));

  RecordingEventLog log;
  Relay relay(OpenRelayPort(link.Name(), 115200, log), nullptr, log, SteadyTime());
  relay.Flags().Running = 1;
  ASSERT_TRUE(relay.StartReader());
  int32_t connectError = 0;
  ASSERT_EQ(ConnectCaster(relay.CasterSocket(), connectError, CasterAt(port), log), 1);
  ASSERT_TRUE(relay.StartSender());

  // Three seconds at 115200 baud's byte rate, in 10 ms slices of 115 bytes.
  std::mt19937 random(5);
  std::string written;
  const auto start = std::chrono::steady_clock::now();
  for (int slice = 1; slice <= 300; ++slice) {
    std::vector<uint8_t> bytes(115);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    link.Send(bytes);
    written.append(bytes.begin(), bytes.end());
    std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * slice));
  }
  for (const auto& file : {casterFile, clientFile}) {
    EXPECT_TRUE(Eventually([&] { return ReadFileBytes(file).size() >= written.size(); }));
  }
  EXPECT_EQ(client.Stop(), 0);
  EXPECT_TRUE(ReadFileBytes(casterFile) == written);
  EXPECT_TRUE(ReadFileBytes(clientFile) == written);
  EXPECT_EQ(relay.Flags().SocketFailed, 0);
  EXPECT_EQ(relay.Buffer().Total(), written.size());
  EXPECT_EQ(caster.Stop(), 0);
  EXPECT_EQ(log.Events(), std::vector<std::string>{"Start Ntrip Server thread!"});
}

}  // namespace
}  // namespace corvane
