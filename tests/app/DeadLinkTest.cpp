// A relay stopped while its sender is blocked in a send on a dead link: a
// caster that accepted the connection and never reads. Real relay threads,
// real sockets, scaled time.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "app/RunRig.h"
#include "fixtures/RecordingEventLog.h"
#include "uplink/UplinkRig.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int CountThreads() {
  int count = 0;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(tasks);
  }
  return count;
}

// A real socket that tells how long its current send has been waiting.
class ObservedSocket final : public StreamSocket {
 public:
  bool Create() override { return real_.Create(); }
  bool Connect(uint32_t address, uint16_t port) override { return real_.Connect(address, port); }
  int Send(const uint8_t* bytes, int count) override {
    sendingSince_ = Clock::now().time_since_epoch().count();
    const int sent = real_.Send(bytes, count);
    sendingSince_ = 0;
    return sent;
  }
  void Shutdown() override { real_.Shutdown(); }
  void Close() override { real_.Close(); }
  bool IsValid() const override { return real_.IsValid(); }
  int LastError() const override { return real_.LastError(); }
  Clock::duration Blocked() const {
    const int64_t since = sendingSince_;
    return since == 0 ? Clock::duration::zero()
                      : Clock::now().time_since_epoch() - Clock::duration(since);
  }

 private:
  TcpSocket real_;
  std::atomic<int64_t> sendingSince_{0};
};

TEST(DeadLinkTest, AStopReturnsAtOnceAndTheBlockedSenderEnds) {
  // A first thread makes a sanitizer start its own helper thread now, so
  // that it counts before as after.
  std::thread([] {}).join();
  const int threadsBefore = CountThreads();
  {
    ScaledTimeSource time(100);
    testing::RecordingEventLog log;
    testing::FakeWindow window(time);
    testing::ScriptedMessageBoxes boxes;
    testing::FakeReceiver receiver;
    receiver.fix.FixQuality = 1;
    testing::SwitchedRoutes routes;
    // A small receive window on the deaf caster fills the link quickly.
    testing::Listener deaf;
    const int small = 4096;
    ::setsockopt(deaf.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    testing::Listener reading;
    Settings settings = testing::CasterAt(deaf.port);
    settings.SerialPort = "COM3";
    settings.GPSBoard = kBoardTrimble;
    NetworkBearer bearer(routes, time, settings);
    std::vector<ObservedSocket*> sockets;
    RunController controller(window, settings, log, boxes, time, receiver, bearer,
                             [&](std::string_view, int32_t) -> std::unique_ptr<RelayLink> {
                               // A receiver streaming as fast as the reader takes it.
                               auto port = std::make_shared<testing::ScriptedPort>();
                               port->repeat = true;
                               port->Add(std::string(1024, 'x'));
                               auto socket = std::make_unique<ObservedSocket>();
                               sockets.push_back(socket.get());
                               return std::make_unique<Relay>(port, std::move(socket), log, time);
                             });
    const auto startRelay = [&] {
      controller.OnStartStop();
      controller.OnTimer(RunController::kPositionTimer);  // a valid fix: StartServer
      ASSERT_TRUE(controller.RelayRunning());
    };

    startRelay();
    ASSERT_TRUE(testing::Eventually([&] { return sockets[0]->Blocked() > 300ms; }))
        << ::testing::PrintToString(log.Events());
    const auto pressed = Clock::now();
    controller.OnStartStop();
    EXPECT_LT(Clock::now() - pressed, 100ms);
    EXPECT_EQ(log.Events().back(), "User Stop");

    settings.Port = reading.port;  // the next Start reaches a caster that reads
    startRelay();
    ASSERT_TRUE(reading.Accept());
    EXPECT_FALSE(testing::ReadUntil(reading.peer, "xxxx").empty());
    // The first relay ended well within the send time-out: its stop woke the
    // send. An operator's stop is no socket failure.
    ASSERT_TRUE(testing::Eventually([&] {
      controller.OnTimer(RunController::kSupervisionTimer);
      return controller.RetiredRelays() == 0;
    }));
    for (const std::string& line : log.Events()) EXPECT_FALSE(line.starts_with("Socket")) << line;
  }
  EXPECT_EQ(CountThreads(), threadsBefore);  // every relay thread joined
}

}  // namespace
}  // namespace corvane
