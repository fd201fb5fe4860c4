#include "uplink/Relay.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "fixtures/RecordingEventLog.h"
#include "fixtures/VirtualTime.h"
#include "uplink/CasterHandshake.h"
#include "uplink/FakeSerialDevice.h"
#include "uplink/Loopback.h"
#include "uplink/RecordingSocket.h"

namespace corvane {
namespace {

using testing::FakeSerialDevice;
using testing::LoopbackListener;
using testing::RecordingEventLog;
using testing::RecordingSocket;

const std::string kRequest = "SOURCE pw M\nSource-Agent: NTRIP DADEDodazezuDadivo/1.0.0\n\r\n";

// Polls a condition until it holds or five seconds pass.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

Settings CasterAt(uint16_t port) {
  Settings settings;
  settings.CasterAddress = "127.0.0.1";
  settings.Port = port;
  settings.PassWord = "pw";
  settings.Mount = "M";
  return settings;
}

struct RelayParts {
  std::shared_ptr<FakeSerialDevice> port;
  RecordingSocket* socket = nullptr;
  std::unique_ptr<Relay> relay;
};

RelayParts MakeRelay(FakeSerialDevice::AtEnd atEnd, EventLog& log, TimeSource& time,
                     bool detached = true) {
  RelayParts parts;
  parts.port = std::make_shared<FakeSerialDevice>(atEnd);
  auto socket = std::make_unique<RecordingSocket>();
  if (detached) socket->Detach();
  parts.socket = socket.get();
  parts.relay = std::make_unique<Relay>(parts.port, std::move(socket), log, time);
  return parts;
}

TEST(RelayTest, ReaderPausesAdaptToTheReadSize) {
  testing::VirtualTimeSource time;
  RecordingEventLog log;
  RelayParts parts = MakeRelay(FakeSerialDevice::AtEnd::Close, log, time);
  parts.port->Add("");
  parts.port->Add(std::string(511, 'a'));
  parts.port->Add(std::string(512, 'b'));
  parts.port->AddError(SerialDevice::kAborted);
  parts.port->AddError(EIO);
  parts.relay->Flags().Running = 1;
  ASSERT_TRUE(parts.relay->StartReader());
  parts.relay->Join();
  EXPECT_EQ(time.Sleeps(),
            (std::vector<Millis>{Millis(500), Millis(30), Millis(10), Millis(100), Millis(100)}));
  EXPECT_EQ(parts.port->ClearErrorsCalls(), 1);  // only for the aborted read
  EXPECT_EQ(parts.relay->Buffer().Total(), 1023u);
  EXPECT_EQ(parts.relay->Buffer().Fill(), 1023);
  EXPECT_FALSE(parts.relay->RelayPortOpen());
  EXPECT_TRUE(parts.relay->Ended());
  EXPECT_TRUE(log.Events().empty());
}

TEST(RelayTest, ReaderOnAClosedPortEndsAtOnce) {
  testing::VirtualTimeSource time;
  RecordingEventLog log;
  RelayParts parts = MakeRelay(FakeSerialDevice::AtEnd::Block, log, time);
  const uint8_t early[] = {1, 2, 3};
  parts.relay->Buffer().RelayPut(early, 3);
  parts.relay->CloseRelayPort();
  parts.relay->Flags().Running = 1;
  ASSERT_TRUE(parts.relay->StartReader());
  parts.relay->Join();
  EXPECT_EQ(parts.relay->Buffer().Total(), 3u);  // not reset: the reader never ran
  EXPECT_TRUE(time.Sleeps().empty());
  EXPECT_FALSE(parts.relay->StartReader());  // threads are never reused
}

TEST(RelayTest, BytesPutBeforeTheSenderStartsGoOutFirst) {
  ScaledTimeSource time(100.0);
  RecordingEventLog log;
  LoopbackListener caster;
  RelayParts parts = MakeRelay(FakeSerialDevice::AtEnd::Block, log, time, false);
  parts.port->Add("EARLY-BYTES");
  parts.relay->Flags().Running = 1;
  ASSERT_TRUE(parts.relay->StartReader());
  ASSERT_TRUE(Eventually([&] { return parts.relay->Buffer().Total() == 11; }));

  int32_t connectError = 0;
  ASSERT_EQ(ConnectCaster(parts.relay->CasterSocket(), connectError, CasterAt(caster.port()), log),
            1);
  ASSERT_TRUE(parts.relay->StartSender());
  ASSERT_TRUE(caster.Accept());
  EXPECT_EQ(caster.ReadUntil(kRequest.size() + 11), kRequest + "EARLY-BYTES");
  parts.port->Add("LATER");
  EXPECT_EQ(caster.ReadUntil(kRequest.size() + 16), kRequest + "EARLY-BYTESLATER");

  // Stop as the owner does: clear Running, close the port.
  parts.relay->Flags().Running = 0;
  parts.relay->CloseRelayPort();
  parts.relay->Join();
  EXPECT_EQ(caster.ReadUntil(1000), kRequest + "EARLY-BYTESLATER");  // then end of stream
  EXPECT_EQ(parts.relay->Flags().SenderExited, 1);
  EXPECT_FALSE(parts.relay->CasterSocket().IsValid());
  EXPECT_EQ(log.Events(), std::vector<std::string>{"Start Ntrip Server thread!"});
}

TEST(RelayTest, ShortSendsAreFollowedByTheRestOfTheBatch) {
  ScaledTimeSource time(100.0);
  RecordingEventLog log;
  RelayParts parts = MakeRelay(FakeSerialDevice::AtEnd::Block, log, time);
  parts.socket->LimitSendSize(7);
  std::string stream;
  for (int i = 0; i < 3000; ++i) stream += static_cast<char>('A' + i % 26);
  parts.port->Add(stream.substr(0, 1000));
  parts.port->Add(stream.substr(1000, 1000));
  parts.port->Add(stream.substr(2000));
  parts.relay->Flags().Running = 1;
  ASSERT_TRUE(parts.relay->StartReader());
  ASSERT_TRUE(parts.relay->StartSender());
  EXPECT_TRUE(Eventually([&] { return parts.socket->SentBytes().size() >= stream.size(); }));
  parts.relay->Flags().Running = 0;
  parts.relay->CloseRelayPort();
  parts.relay->Join();
  EXPECT_TRUE(parts.socket->SentBytes() == stream);
  for (const std::string& piece : parts.socket->Sends()) EXPECT_LE(piece.size(), 7u);
  EXPECT_EQ(parts.relay->Flags().SocketFailed, 0);
}

TEST(RelayTest, SendErrorEndsBothThreadsAndIsLoggedOnce) {
  ScaledTimeSource time(1000.0);
  RecordingEventLog log;
  RelayParts parts = MakeRelay(FakeSerialDevice::AtEnd::Repeat, log, time);
  parts.socket->FailFromSend(1, ECONNRESET);
  parts.port->Add(std::string(100, 'x'));
  parts.relay->Flags().Running = 1;
  ASSERT_TRUE(parts.relay->StartReader());
  ASSERT_TRUE(parts.relay->StartSender());
  ASSERT_TRUE(Eventually([&] { return parts.relay->Ended(); }));
  parts.relay->Join();
  const RelayFlags& flags = parts.relay->Flags();
  EXPECT_EQ(flags.Running, 0);
  EXPECT_EQ(flags.SocketFailed, 1);
  EXPECT_EQ(flags.LastSocketError, ECONNRESET);
  EXPECT_EQ(flags.SenderExited, 1);
  EXPECT_FALSE(parts.relay->RelayPortOpen());
  EXPECT_FALSE(parts.socket->IsValid());
  EXPECT_EQ(parts.socket->Sends().size(), 2u);
  EXPECT_EQ(log.Events(),
            (std::vector<std::string>{"Start Ntrip Server thread!", "Socket Send Error: 104"}));
}

TEST(RelayTest, CasterThatDropsTheConnectionIsASendErrorNotASignal) {
  ScaledTimeSource time(100.0);
  RecordingEventLog log;
  LoopbackListener caster;
  RelayParts parts = MakeRelay(FakeSerialDevice::AtEnd::Repeat, log, time, false);
  parts.port->Add(std::string(200, 'r'));
  int32_t connectError = 0;
  ASSERT_EQ(ConnectCaster(parts.relay->CasterSocket(), connectError, CasterAt(caster.port()), log),
            1);
  ASSERT_TRUE(caster.Accept());
  EXPECT_EQ(caster.ReadUntil(kRequest.size()), kRequest);
  caster.CloseConnection();
  parts.relay->Flags().Running = 1;
  ASSERT_TRUE(parts.relay->StartReader());
  ASSERT_TRUE(parts.relay->StartSender());
  ASSERT_TRUE(Eventually([&] { return parts.relay->Ended(); }));
  parts.relay->Join();
  const std::vector<std::string> events = log.Events();
  ASSERT_EQ(events.size(), 2u);
  const int error = parts.relay->Flags().LastSocketError;
  EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
  EXPECT_EQ(events[1], "Socket Send Error: " + std::to_string(error));
}

// A time source whose sleeps hold until the test opens the gate, to keep a
// relay's sender parked in its pause.
class GatedTimeSource final : public TimeSource {
 public:
  Millis Now() override { return SteadyTime().Now(); }
  void Sleep(Millis) override {
    std::unique_lock lock(mutex_);
    ++sleepers_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  bool Wait(AutoResetEvent& event, Millis) override {
    Sleep(Millis(0));
    return event.TryConsume();
  }
  bool AwaitSleeper() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return sleepers_ > 0; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int sleepers_ = 0;
  bool open_ = false;
};

TEST(RelayTest, PreviousRelayThreadsLeaveTheNextRelayAlone) {
  RecordingEventLog log;
  GatedTimeSource oldTime;
  RelayParts old = MakeRelay(FakeSerialDevice::AtEnd::Block, log, oldTime);
  old.relay->Flags().Running = 1;
  ASSERT_TRUE(old.relay->StartReader());
  ASSERT_TRUE(old.relay->StartSender());
  ASSERT_TRUE(old.port->AwaitReads(1));  // the old reader waits in a read
  ASSERT_TRUE(oldTime.AwaitSleeper());   // the old sender waits in its pause

  // The restart: the old relay is told to stop, the next one starts at once.
  old.relay->Flags().Running = 0;
  ScaledTimeSource time(100.0);
  LoopbackListener caster;
  RelayParts next = MakeRelay(FakeSerialDevice::AtEnd::Block, log, time, false);
  next.port->Add("NEXT");
  next.relay->Flags().Running = 1;
  ASSERT_TRUE(next.relay->StartReader());
  int32_t connectError = 0;
  ASSERT_EQ(ConnectCaster(next.relay->CasterSocket(), connectError, CasterAt(caster.port()), log),
            1);
  ASSERT_TRUE(next.relay->StartSender());
  ASSERT_TRUE(caster.Accept());
  EXPECT_EQ(caster.ReadUntil(kRequest.size() + 4), kRequest + "NEXT");

  // Now the old threads wake and run to their end.
  old.relay->CloseRelayPort();
  oldTime.Open();
  old.relay->Join();
  EXPECT_EQ(old.relay->Flags().SenderExited, 1);
  EXPECT_FALSE(old.socket->IsValid());

  const RelayFlags& flags = next.relay->Flags();
  EXPECT_EQ(flags.Running, 1);
  EXPECT_EQ(flags.SenderExited, 0);
  EXPECT_EQ(flags.SocketFailed, 0);
  EXPECT_TRUE(next.relay->RelayPortOpen());
  EXPECT_TRUE(next.relay->CasterSocket().IsValid());
  EXPECT_EQ(next.relay->Buffer().Total(), 4u);
  next.port->Add("MORE");
  EXPECT_EQ(caster.ReadUntil(kRequest.size() + 8), kRequest + "NEXTMORE");

  next.relay->Flags().Running = 0;
  next.relay->CloseRelayPort();
  next.relay->Join();
}

TEST(RelayTest, DestroyingARelayEndsItsBlockedThreads) {
  RecordingEventLog log;
  const auto start = std::chrono::steady_clock::now();
  {
    RelayParts parts = MakeRelay(FakeSerialDevice::AtEnd::Block, log, SteadyTime());
    parts.relay->Flags().Running = 1;
    ASSERT_TRUE(parts.relay->StartReader());
    ASSERT_TRUE(parts.relay->StartSender());
    ASSERT_TRUE(parts.port->AwaitReads(1));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace corvane
