#include "uplink/CasterHandshake.h"

#include <gtest/gtest.h>

#include <string>

#include "fixtures/RecordingEventLog.h"
#include "uplink/Loopback.h"
#include "uplink/RecordingSocket.h"

namespace corvane {
namespace {

using testing::LoopbackListener;
using testing::RecordingEventLog;
using testing::RecordingSocket;

const std::string kAgentAndEnd = "Source-Agent: NTRIP DADEDodazezuDadivo/1.0.0\n\r\n";

Settings CasterAt(uint16_t port, std::string_view password, std::string_view mount) {
  Settings settings;
  settings.CasterAddress = "127.0.0.1";
  settings.Port = port;
  settings.PassWord = password;
  settings.Mount = mount;
  return settings;
}

TEST(CasterHandshakeTest, RequestIsByteExactInTwoSends) {
  struct Case {
    std::string password;
    std::string mount;
    std::string sourceLine;
  };
  const Case cases[] = {
      {"secret", "RTCM32", "SOURCE secret RTCM32\n"},
      {"", "RTCM32", "SOURCE  RTCM32\n"},      // empty password: two spaces
      {"pw", "/BASE1", "SOURCE pw /BASE1\n"},  // the slash goes out as stored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sourceLine);
    LoopbackListener caster;
    RecordingSocket socket;
    RecordingEventLog log;
    int32_t connectError = -1;
    ASSERT_EQ(
        ConnectCaster(socket, connectError, CasterAt(caster.port(), c.password, c.mount), log), 1);
    EXPECT_EQ(connectError, kConnectErrorNone);
    ASSERT_TRUE(caster.Accept());
    const std::string expected = c.sourceLine + kAgentAndEnd;
    EXPECT_EQ(caster.ReadUntil(expected.size()), expected);
    EXPECT_EQ(socket.Sends(), (std::vector<std::string>{c.sourceLine, kAgentAndEnd}));
    EXPECT_EQ(kAgentAndEnd.size(), 47u);
    EXPECT_TRUE(socket.IsValid());
    EXPECT_TRUE(log.Events().empty());
  }
}

TEST(CasterHandshakeTest, RefusedConnectLogsErrnoThenConnectError) {
  RecordingSocket socket;
  RecordingEventLog log;
  int32_t connectError = -1;
  const Settings settings = CasterAt(testing::UnusedLoopbackPort(), "pw", "M");
  EXPECT_EQ(ConnectCaster(socket, connectError, settings, log), 0);
  EXPECT_EQ(connectError, kConnectErrorConnect);
  EXPECT_FALSE(socket.IsValid());
  EXPECT_TRUE(socket.Sends().empty());
  LogConnectError(connectError, log);
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"GetLastErr:111\n", "Connet Err."}));
}

TEST(CasterHandshakeTest, HostNameIsNotLookedUp) {
  LoopbackListener caster;
  Settings settings = CasterAt(caster.port(), "pw", "M");
  settings.CasterAddress = "localhost";  // resolvable, but not a dotted address
  RecordingSocket socket;
  RecordingEventLog log;
  int32_t connectError = 0;
  EXPECT_EQ(ConnectCaster(socket, connectError, settings, log), 0);
  EXPECT_EQ(connectError, kConnectErrorConnect);
  EXPECT_FALSE(caster.Accept(std::chrono::milliseconds(200)));
  // The broadcast address that a non-dotted text becomes is unreachable.
  ASSERT_EQ(log.Events().size(), 1u);
  EXPECT_TRUE(log.Events()[0].starts_with("GetLastErr:"));
  EXPECT_TRUE(log.Events()[0].ends_with("\n"));
}

TEST(CasterHandshakeTest, NewHandshakeClosesTheOldSocketAndResetsTheCode) {
  LoopbackListener first;
  RecordingSocket socket;
  RecordingEventLog log;
  int32_t connectError = kConnectErrorConnect;
  ASSERT_EQ(ConnectCaster(socket, connectError, CasterAt(first.port(), "a", "M"), log), 1);
  ASSERT_TRUE(first.Accept());
  EXPECT_EQ(connectError, kConnectErrorNone);
  LoopbackListener second;
  ASSERT_EQ(ConnectCaster(socket, connectError, CasterAt(second.port(), "b", "M"), log), 1);
  // The old connection ends (end of stream) with nothing after its request.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(first.ReadUntil(1000, std::chrono::milliseconds(3000)), "SOURCE a M\n" + kAgentAndEnd);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_TRUE(second.Accept());
  EXPECT_EQ(second.ReadUntil(58), "SOURCE b M\n" + kAgentAndEnd);
}

TEST(CasterHandshakeTest, SocketThatCannotBeCreatedLogsNothing) {
  class NoSocket final : public StreamSocket {
   public:
    bool Create() override { return false; }
    bool Connect(uint32_t, uint16_t) override { return false; }
    int Send(const uint8_t*, int) override { return -1; }
    void Shutdown() override {}
    void Close() override {}
    bool IsValid() const override { return false; }
    int LastError() const override { return 24; }
  } socket;
  RecordingEventLog log;
  int32_t connectError = 7;
  EXPECT_EQ(ConnectCaster(socket, connectError, CasterAt(2101, "pw", "M"), log), 0);
  EXPECT_EQ(connectError, kConnectErrorNone);
  LogConnectError(connectError, log);
  LogConnectError(1, log);
  LogConnectError(3, log);
  EXPECT_TRUE(log.Events().empty());
}

}  // namespace
}  // namespace corvane
