// Receiver start-up on stand-ins in scaled time: the opening sequence and its
// failures, the three workers, closing from two threads, and setting the
// clock. The channel records what the receiver object writes and when it is
// stopped; the decoder writes a line at each configuration; the clock is
// never the host's.
#include "receiver/GpsReceiver.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <future>

#include "fixtures/FakeClock.h"
#include "fixtures/Process.h"
#include "fixtures/VirtualTime.h"

// Thread creation that fails on cue, as it does when the process is out of
// threads or memory: this program's pthread_create stands before the C
// library's. With the count at n, the call after the next n fails once.
namespace {
std::atomic<int> threadsBeforeFailure{-1};
}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) noexcept {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto create = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
  const int before = threadsBeforeFailure.load();
  if (before >= 0) threadsBeforeFailure.store(before - 1);
  return before == 0 ? EAGAIN : create(thread, attributes, start, argument);
}

namespace corvane::testing {
namespace {

using Strings = std::vector<std::string>;
using Lines = Locked<std::string>;

TextSink Into(Lines& lines) {
  return [&lines](std::string_view text) { lines.Add(std::string(text)); };
}

class FakeChannel final : public SerialChannel {
 public:
  explicit FakeChannel(TimeSource& time) : SerialChannel(time), time_(time) {}

  std::function<void()> onStop;  // runs inside Stop, before the port closes
  std::atomic<bool> opens{true}, open{false};
  Lines writes;
  Locked<Millis> stopTimes;

  bool Open(int, uint32_t) override { return open = opens.load(); }
  bool StartWorkers() override { return open; }
  void Stop() override {
    if (onStop) onStop();
    stopTimes.Add(time_.Now());
    open = false;
  }
  int32_t Write(const uint8_t* bytes, int32_t count) override {
    writes.Add(std::string(reinterpret_cast<const char*>(bytes), count));
    return count;
  }
  // Hands out the bytes of Arrive, as many as the reader asks for.
  int32_t Read(uint8_t* buffer, int32_t capacity) override {
    std::lock_guard lock(mutex_);
    const auto count = std::min<size_t>(static_cast<size_t>(capacity), arrived_.size());
    std::copy_n(arrived_.begin(), count, buffer);
    arrived_.erase(0, count);
    return static_cast<int32_t>(count);
  }
  void Arrive(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    arrived_ += bytes;
  }
  size_t Stops() { return stopTimes.Get().size(); }

 private:
  TimeSource& time_;
  std::mutex mutex_;
  std::string arrived_;
};

// A decoder whose every receiver configuration writes one "CONFIG\r\n" line
// and pauses 150 ms, and which keeps the size of each chunk it decodes.
struct ScriptedDecoder final : PositionDecoder {
  ScriptedDecoder(TimeSource& time, bool configures, Locked<int32_t>& chunks)
      : time(time), configures(configures), chunks(chunks) {}
  int32_t Decode(const uint8_t*, int32_t count) override {
    chunks.Add(count);
    return 0;
  }
  bool ConfigureReceiver(ByteWriter& out) override {
    out.Write(reinterpret_cast<const uint8_t*>("CONFIG\r\n"), 8);
    time.Sleep(Millis(150));
    return configures;
  }
  TimeSource& time;
  bool configures;
  Locked<int32_t>& chunks;
};

// A GpsReceiver on a FakeChannel and ScriptedDecoders, in scaled time.
struct ReceiverRig {
  explicit ReceiverRig(double factor = 1000) : time(factor) {
    auto owned = std::make_unique<FakeChannel>(time);
    channel = owned.get();
    receiver = std::make_unique<GpsReceiver>(
        std::move(owned), time, clock, DiagnosticSinks{Into(traces), Into(console)},
        [this](int32_t, SharedPositionFix& sharedFix, TimeSource& time) {
          fix = &sharedFix;
          return std::make_unique<ScriptedDecoder>(time, configures, chunks);
        });
  }
  RecordingScaledTime time;
  FakeClock clock;
  Lines traces, console;
  Locked<int32_t> chunks;
  bool configures = true;
  SharedPositionFix* fix = nullptr;
  FakeChannel* channel = nullptr;
  std::unique_ptr<GpsReceiver> receiver;  // last: destroyed first
};

TEST(GpsReceiverTest, FixNoneAtTheFirstOpeningThenThePumpAndDecodeCycles) {
  ReceiverRig rig;
  const auto ui = std::this_thread::get_id();
  rig.receiver->SelectDecoder(0);
  // With a valid position the retry worker only counts its rounds.
  rig.fix->Modify([](PositionFix& fix) { fix.FixQuality = 1; });
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(WaitUntil([&] { return rig.console.Get().size() >= 2; }));
  EXPECT_EQ(rig.channel->writes.Get(), (Strings{"CONFIG\r\n", "fix none\r\n", "fix none\r\n"}));
  // The pump reads every 100 ms; the decode worker hands the decoder at most
  // 2048 bytes at a time.
  rig.channel->Arrive(std::string(5000, 'x'));
  ASSERT_TRUE(WaitUntil([&] { return !rig.chunks.Get().empty(); }));
  EXPECT_EQ(rig.chunks.Get()[0], 2048);
  EXPECT_NE(rig.time.ThreadOf("wait 100"), std::thread::id{});
  // Open: 200 ms, workers, 300 ms, the decoder's 150 ms, the fix-none pause;
  // then the close's three pauses.
  rig.receiver->CloseGpsPort();
  EXPECT_EQ(rig.time.On(ui), (Strings{"200", "300", "150", "200", "100", "50", "100"}));

  // A second Start in the same run: the decoder is made anew, no "fix none".
  rig.receiver->SelectDecoder(0);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  EXPECT_EQ(rig.channel->writes.Get(),
            (Strings{"CONFIG\r\n", "fix none\r\n", "fix none\r\n", "CONFIG\r\n"}));
}

// A port that does not open, a configuration that fails, no decoder, and a
// worker that cannot start: the opening fails with the channel stopped, and
// the next Start works again once the cause is gone.
TEST(GpsReceiverTest, AFailedOpeningLeavesTheChannelStopped) {
  const struct {
    const char* what;
    bool opens, configures, decoder;
    int workersStarted;
    Strings traces;
    size_t stops;
  } rows[] = {{"no port", false, true, true, -1, {"Can't Open GPS Port!"}, 0},
              {"configuration", true, false, true, -1, {"Init Board Failed!\n"}, 1},
              {"no decoder", true, true, false, -1, {}, 1},
              {"no pump", true, true, true, 0, {}, 1},
              {"no decode worker", true, true, true, 1, {}, 1},
              {"no retry worker", true, true, true, 2, {}, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ReceiverRig rig;
    rig.channel->opens = row.opens;
    rig.configures = row.configures;
    if (row.decoder) rig.receiver->SelectDecoder(4);
    threadsBeforeFailure = row.workersStarted;
    EXPECT_FALSE(rig.receiver->OpenGpsPort(3, 115200));
    EXPECT_EQ(threadsBeforeFailure, -1);
    EXPECT_FALSE(rig.receiver->IsOpen());
    EXPECT_EQ(rig.traces.Get(), row.traces);
    EXPECT_EQ(rig.channel->Stops(), row.stops);
    EXPECT_EQ(rig.channel->writes.Get(), Strings(row.opens && row.decoder ? 1 : 0, "CONFIG\r\n"));
    rig.channel->opens = rig.configures = true;
    rig.receiver->SelectDecoder(4);
    EXPECT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  }
}

TEST(GpsReceiverTest, TrimbleWithoutFixIsConfiguredThirteenTimesAndClosedByItsRetryWorker) {
  ReceiverRig rig(100);
  rig.receiver->SelectDecoder(4);
  const Millis opened = rig.time.Now();
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(WaitUntil([&] { return rig.channel->Stops() == 1; }));
  EXPECT_FALSE(rig.receiver->IsOpen());
  EXPECT_EQ(rig.channel->writes.Get(), Strings(13, "CONFIG\r\n")) << "and no \"fix none\"";
  Strings attempts;
  for (int i = 0; i <= 11; ++i)
    attempts.push_back("Init GPSBoard Times " + std::to_string(i) + "\r\n");
  EXPECT_EQ(rig.console.Get(), attempts);
  EXPECT_EQ(rig.traces.Get(), Strings{"Init GPSBoard Failed!"});

  // The time up to the close as the receiver asked for it: 0.65 s of opening
  // (with one configuration), then twelve unsignalled 15 s waits on the retry
  // worker, each followed by a 0.15 s configuration: 182.45 s; then its close.
  EXPECT_EQ(rig.time.On(std::this_thread::get_id()), (Strings{"200", "300", "150"}));
  Strings retry;
  for (int i = 0; i < 12; ++i) retry.insert(retry.end(), {"wait 15000", "150"});
  retry.insert(retry.end(), {"100", "50", "100"});
  const auto worker = rig.time.ThreadOf("wait 15000");
  WaitUntil([&] { return rig.time.On(worker).size() >= retry.size(); });
  EXPECT_EQ(rig.time.On(worker), retry);
  // Measured on the scaled clock, which adds the threads' wake-up latency.
  const double closedAfter =
      std::chrono::duration<double>(rig.channel->stopTimes.Get()[0] - opened).count();
  EXPECT_GE(closedAfter, 182.4);
  EXPECT_LT(closedAfter, 220.0);

  rig.receiver->CloseGpsPort();
  EXPECT_EQ(rig.channel->Stops(), 1u);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200)) << "the next Start works again";
}

// The retry worker closes first; the UI's call returns only once the port is
// released, so the relay port may be opened right after it, and closes
// nothing twice.
TEST(GpsReceiverTest, CloseFromTheUiWaitsForTheRetryWorkersClose) {
  ReceiverRig rig;
  std::promise<void> arrived, release;
  rig.channel->onStop = [&, go = release.get_future().share()] {
    arrived.set_value();
    go.wait();
  };
  rig.receiver->SelectDecoder(4);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_EQ(arrived.get_future().wait_for(10s), std::future_status::ready);
  auto closed = std::async(std::launch::async, [&] { rig.receiver->CloseGpsPort(); });
  EXPECT_EQ(closed.wait_for(50ms), std::future_status::timeout)
      << "returned before the port was released";
  release.set_value();
  closed.get();
  EXPECT_EQ(rig.channel->Stops(), 1u);
}

TEST(GpsReceiverTest, AdjustTimeSetsTheClockToUtc) {
  ReceiverRig rig;
  rig.receiver->SelectDecoder(0);
  // Position without a date yet (GGA before any RMC): year 0 is refused.
  EXPECT_FALSE(rig.receiver->AdjustTime());
  EXPECT_EQ(rig.console.Get(), (Strings{"0-00-00 00:00:00\r\n", "Adjust Failed! Error:22\r\n"}));

  const auto setTime = [&rig](CalendarTime time) {
    rig.fix->Modify([&time](PositionFix& fix) {
      std::tie(fix.Year, fix.Month, fix.Day, fix.Hour, fix.Minute, fix.Second) =
          std::tie(time.Year, time.Month, time.Day, time.Hour, time.Minute, time.Second);
    });
  };
  // NMEA time is UTC. The platform's record holds 16-bit fields: the year is
  // taken modulo 65536.
  setTime({65536 + 2026, 12, 6, 21, 5, 9});
  EXPECT_TRUE(rig.receiver->AdjustTime());
  EXPECT_EQ(rig.clock.set.back(), (CalendarTime{2026, 12, 6, 21, 5, 9}));
  EXPECT_EQ(rig.console.Get().back(), "Adjust Time Successfully!");

  // GSOF time is GPS time plus 8 h: 8 h and the 18 leap seconds come off,
  // across the turn of the year.
  rig.receiver->SelectDecoder(kGsofBoard);
  setTime({2024, 1, 1, 3, 0, 10});
  EXPECT_TRUE(rig.receiver->AdjustTime());
  EXPECT_EQ(rig.clock.set.back(), (CalendarTime{2023, 12, 31, 18, 59, 52}));
  EXPECT_EQ(rig.console.Get()[4], "2024-01-01 03:00:10\r\n");
}

}  // namespace
}  // namespace corvane::testing
