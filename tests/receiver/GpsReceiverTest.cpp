// Receiver start-up on stand-ins in scaled time: the opening sequence and its
// failures, the three workers, closing from two threads, and setting the
// clock. The clock is never the host's.
#include "receiver/GpsReceiver.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <future>

#include "fixtures/Doubles.h"
#include "fixtures/Process.h"
#include "fixtures/VirtualTime.h"

// Thread creation that fails on cue, as it does when the process is out of
// threads or memory: this program's pthread_create stands before the C
// library's. With the count at n, the call after the next n fails once.
static std::atomic<int> threadsBeforeFailure{-1};

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) noexcept {
  static const auto create =
      reinterpret_cast<decltype(&pthread_create)>(::dlsym(RTLD_NEXT, "pthread_create"));
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

// A GpsReceiver in scaled time on a channel and decoders that record into the
// rig.
struct ReceiverRig {
  // Records what the receiver object writes and when it stops the port.
  struct Channel final : SerialChannel {
    explicit Channel(ReceiverRig& rig) : SerialChannel(rig.time), rig(rig) {}
    bool Open(int, uint32_t) override { return rig.opens; }
    bool StartWorkers() override { return true; }
    void Stop() override {
      if (rig.onStop) rig.onStop();
      rig.stopTimes.Add(rig.time.Now());
    }
    int32_t Write(const uint8_t* bytes, int32_t count) override {
      rig.writes.Add(std::string(reinterpret_cast<const char*>(bytes), count));
      return count;
    }
    // Hands out the rig's `arrived` bytes, as many as the reader asks for.
    int32_t Read(uint8_t* buffer, int32_t capacity) override {
      const size_t count = rig.arrived.copy(reinterpret_cast<char*>(buffer), capacity);
      rig.arrived.erase(0, count);
      return static_cast<int32_t>(count);
    }
    ReceiverRig& rig;
  };
  // Each receiver configuration writes one "CONFIG\r\n" line and pauses
  // 150 ms; the size of each decoded chunk is kept.
  struct Decoder final : PositionDecoder {
    explicit Decoder(ReceiverRig& rig) : rig(rig) {}
    int32_t Decode(const uint8_t*, int32_t count) override {
      rig.chunks.Add(count);
      return 0;
    }
    bool ConfigureReceiver(ByteWriter& out) override {
      out.Write(reinterpret_cast<const uint8_t*>("CONFIG\r\n"), 8);
      rig.time.Sleep(Millis(150));
      return rig.configures;
    }
    ReceiverRig& rig;
  };

  explicit ReceiverRig(double factor = 1000) : time(factor) {
    receiver = std::make_unique<GpsReceiver>(
        std::make_unique<Channel>(*this), time, clock, DiagnosticSinks{Into(traces), Into(console)},
        [this](int32_t, SharedPositionFix& sharedFix, TimeSource&) {
          fix = &sharedFix;
          return std::make_unique<Decoder>(*this);
        });
  }
  size_t Stops() { return stopTimes.Get().size(); }

  RecordingScaledTime time;
  FakeClock clock;
  Lines traces, console, writes;
  Locked<Millis> stopTimes;
  Locked<int32_t> chunks;
  std::string arrived;  // set before the opening: only the pump reads it then
  bool opens = true, configures = true;
  std::function<void()> onStop;  // runs inside the channel's Stop
  SharedPositionFix* fix = nullptr;
  std::unique_ptr<GpsReceiver> receiver;  // last: destroyed first
};

TEST(GpsReceiverTest, FixNoneAtTheFirstOpeningThenThePumpAndDecodeCycles) {
  ReceiverRig rig;
  rig.receiver->SelectDecoder(0);
  // With a valid position the retry worker only counts its rounds. The pump
  // reads every 100 ms; the decode worker hands the decoder at most 2048
  // bytes at a time.
  rig.fix->Modify([](PositionFix& fix) { fix.FixQuality = 1; });
  rig.arrived = std::string(5000, 'x');
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(
      WaitUntil([&] { return rig.console.Get().size() >= 2 && !rig.chunks.Get().empty(); }));
  EXPECT_EQ(rig.writes.Get(), (Strings{"CONFIG\r\n", "fix none\r\n", "fix none\r\n"}));
  EXPECT_EQ(rig.chunks.Get()[0], 2048);
  EXPECT_NE(rig.time.ThreadOf("wait 100"), std::thread::id{});
  // Open: 200 ms, workers, 300 ms, the decoder's 150 ms, the fix-none pause;
  // then the close's three pauses.
  rig.receiver->CloseGpsPort();
  EXPECT_EQ(rig.time.On(std::this_thread::get_id()),
            (Strings{"200", "300", "150", "200", "100", "50", "100"}));

  // A second Start in the same run: the decoder is made anew, no "fix none".
  rig.receiver->SelectDecoder(0);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  EXPECT_EQ(rig.writes.Get(),
            (Strings{"CONFIG\r\n", "fix none\r\n", "fix none\r\n", "CONFIG\r\n"}));
}

// A port that does not open, a configuration that fails, no decoder, and a
// worker that cannot start: the opening fails with the channel stopped, and
// the next Start works again once the cause is gone.
TEST(GpsReceiverTest, AFailedOpeningLeavesTheChannelStopped) {
  // What fails, whether the port opens, the configuration succeeds and a
  // decoder is there, the threads started before one fails, the trace, stops.
  const std::tuple<const char*, bool, bool, bool, int, Strings, size_t> rows[] = {
      {"no port", false, true, true, -1, {"Can't Open GPS Port!"}, 0},
      {"configuration", true, false, true, -1, {"Init Board Failed!\n"}, 1},
      {"no decoder", true, true, false, -1, {}, 1},
      {"no pump", true, true, true, 0, {}, 1},
      {"no decode worker", true, true, true, 1, {}, 1},
      {"no retry worker", true, true, true, 2, {}, 1}};
  for (const auto& [what, opens, configures, decoder, workersStarted, traces, stops] : rows) {
    SCOPED_TRACE(what);
    ReceiverRig rig;
    rig.opens = opens;
    rig.configures = configures;
    if (decoder) rig.receiver->SelectDecoder(4);
    threadsBeforeFailure = workersStarted;
    EXPECT_FALSE(rig.receiver->OpenGpsPort(3, 115200));
    EXPECT_EQ(threadsBeforeFailure, -1);
    EXPECT_FALSE(rig.receiver->IsOpen());
    EXPECT_EQ(rig.traces.Get(), traces);
    EXPECT_EQ(rig.Stops(), stops);
    EXPECT_EQ(rig.writes.Get(), Strings(opens && decoder ? 1 : 0, "CONFIG\r\n"));
    rig.opens = rig.configures = true;
    rig.receiver->SelectDecoder(4);
    EXPECT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  }
}

TEST(GpsReceiverTest, TrimbleWithoutFixIsConfiguredThirteenTimesAndClosedByItsRetryWorker) {
  ReceiverRig rig(100);
  rig.receiver->SelectDecoder(4);
  const Millis opened = rig.time.Now();
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(WaitUntil([&] { return rig.Stops() == 1; }));
  EXPECT_FALSE(rig.receiver->IsOpen());
  EXPECT_EQ(rig.writes.Get(), Strings(13, "CONFIG\r\n")) << "and no \"fix none\"";
  EXPECT_EQ(rig.traces.Get(), Strings{"Init GPSBoard Failed!"});

  // The time up to the close as the receiver asked for it: 0.65 s of opening
  // (with one configuration), then twelve unsignalled 15 s waits on the retry
  // worker, each followed by a 0.15 s configuration and a count: 182.45 s;
  // then its close.
  EXPECT_EQ(rig.time.On(std::this_thread::get_id()), (Strings{"200", "300", "150"}));
  Strings attempts, retry;
  for (int i = 0; i <= 11; ++i) {
    attempts.push_back("Init GPSBoard Times " + std::to_string(i) + "\r\n");
    retry.insert(retry.end(), {"wait 15000", "150"});
  }
  retry.insert(retry.end(), {"100", "50", "100"});
  EXPECT_EQ(rig.console.Get(), attempts);
  const auto worker = rig.time.ThreadOf("wait 15000");
  WaitUntil([&] { return rig.time.On(worker).size() >= retry.size(); });
  EXPECT_EQ(rig.time.On(worker), retry);
  // Measured on the scaled clock, which adds the threads' wake-up latency.
  const Millis closedAfter = rig.stopTimes.Get()[0] - opened;
  EXPECT_GE(closedAfter, 182400ms);
  EXPECT_LT(closedAfter, 220s);

  rig.receiver->CloseGpsPort();
  EXPECT_EQ(rig.Stops(), 1u);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200)) << "the next Start works again";
}

// The retry worker closes first; the UI's call returns only once the port is
// released, so the relay port may be opened right after it, and closes
// nothing twice.
TEST(GpsReceiverTest, CloseFromTheUiWaitsForTheRetryWorkersClose) {
  ReceiverRig rig;
  std::promise<void> arrived, release;
  rig.onStop = [&, go = release.get_future().share()] {
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
  EXPECT_EQ(rig.Stops(), 1u);
}

TEST(GpsReceiverTest, AdjustTimeSetsTheClockToUtc) {
  ReceiverRig rig;
  const auto adjust = [&rig](int32_t board, CalendarTime time) {
    rig.receiver->SelectDecoder(board);
    rig.fix->Modify([&time](PositionFix& fix) {
      std::tie(fix.Year, fix.Month, fix.Day, fix.Hour, fix.Minute, fix.Second) =
          std::tie(time.Year, time.Month, time.Day, time.Hour, time.Minute, time.Second);
    });
    return rig.receiver->AdjustTime();
  };
  // A position without a date yet (GGA before any RMC): year 0 is refused.
  EXPECT_FALSE(adjust(kBoardNovAtel, {}));
  // NMEA time is UTC. The platform's record holds 16-bit fields: the year is
  // taken modulo 65536.
  EXPECT_TRUE(adjust(kBoardNovAtel, {65536 + 2026, 12, 6, 21, 5, 9}));
  // GSOF time is GPS time plus 8 h: 8 h and the 18 leap seconds come off,
  // across the turn of the year.
  EXPECT_TRUE(adjust(kGsofBoard, {2024, 1, 1, 3, 0, 10}));
  EXPECT_EQ(rig.clock.set,
            (std::vector<CalendarTime>{{}, {2026, 12, 6, 21, 5, 9}, {2023, 12, 31, 18, 59, 52}}));
  EXPECT_EQ(rig.console.Get(), (Strings{"0-00-00 00:00:00\r\n", "Adjust Failed! Error:22\r\n",
                                        "2026-12-06 21:05:09\r\n", "Adjust Time Successfully!",
                                        "2024-01-01 03:00:10\r\n", "Adjust Time Successfully!"}));
}

}  // namespace
}  // namespace corvane::testing
