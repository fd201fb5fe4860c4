#include "receiver/GpsReceiver.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "receiver/ReceiverRig.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ReceiverRig;
using testing::WaitUntil;

// A gate one thread waits at until another opens it.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void Pass() {
    std::unique_lock lock(mutex_);
    arrived_ = true;
    arrivedCv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  bool WaitArrived(std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex_);
    return arrivedCv_.wait_for(lock, deadline, [this] { return arrived_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable arrivedCv_;
  bool open_ = false;
  bool arrived_ = false;
};

TEST(GpsReceiverTest, OpenFailuresLeaveTheReceiverClosed) {
  {
    ReceiverRig rig;
    rig.channel->openSucceeds = false;
    rig.receiver->SelectDecoder(4);
    EXPECT_FALSE(rig.receiver->OpenGpsPort(3, 115200));
    EXPECT_FALSE(rig.receiver->IsOpen());
    EXPECT_EQ(rig.sinks.Traces(), std::vector<std::string>{"Can't Open GPS Port!"});
    EXPECT_TRUE(rig.time.SleepsOn(std::this_thread::get_id()).empty()) << "fails at once";
    EXPECT_EQ(rig.decoder.configurations, 0);
  }
  {
    ReceiverRig rig;  // no SelectDecoder: no decoder
    EXPECT_FALSE(rig.receiver->OpenGpsPort(3, 115200));
    EXPECT_FALSE(rig.receiver->IsOpen());
    EXPECT_EQ(rig.channel->Stops(), 1);
    EXPECT_TRUE(rig.sinks.Traces().empty());
  }
  {
    ReceiverRig rig;
    rig.decoder.configureResult = false;
    rig.receiver->SelectDecoder(4);
    EXPECT_FALSE(rig.receiver->OpenGpsPort(3, 115200));
    EXPECT_FALSE(rig.receiver->IsOpen());
    EXPECT_EQ(rig.channel->Stops(), 1);
    EXPECT_EQ(rig.sinks.Traces(), std::vector<std::string>{"Init Board Failed!\n"});
    rig.receiver->CloseGpsPort();
    EXPECT_EQ(rig.channel->Stops(), 1) << "closing a closed receiver touches nothing";
  }
}

TEST(GpsReceiverTest, FixNoneGoesToANovAtelReceiverOnlyAtTheFirstOpening) {
  ReceiverRig rig;
  const auto ui = std::this_thread::get_id();
  rig.receiver->SelectDecoder(0);
  EXPECT_EQ(rig.boards, std::vector<int32_t>{0});
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  EXPECT_TRUE(rig.receiver->IsOpen());
  EXPECT_EQ(rig.channel->LastPort(), 3);
  const auto writes = rig.channel->Writes();
  ASSERT_EQ(rig.channel->WrittenLines(),
            (std::vector<std::string>{"CONFIG\r\n", "fix none\r\n", "fix none\r\n"}));
  EXPECT_GE(writes[2].At - writes[1].At, 200ms);
  // Open: 200 ms, workers, 300 ms, the decoder's 150 ms, the fix-none pause.
  EXPECT_EQ(rig.time.SleepsOn(ui), (std::vector<Millis>{200ms, 300ms, 150ms, 200ms}));

  rig.time.ForgetSleeps();
  rig.receiver->CloseGpsPort();
  EXPECT_FALSE(rig.receiver->IsOpen());
  EXPECT_EQ(rig.time.SleepsOn(ui), (std::vector<Millis>{100ms, 50ms, 100ms}));
  EXPECT_EQ(rig.channel->Stops(), 1);

  // A second Start in the same run: the decoder is made anew, no "fix none".
  rig.receiver->SelectDecoder(0);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  EXPECT_EQ(rig.channel->WrittenLines(),
            (std::vector<std::string>{"CONFIG\r\n", "fix none\r\n", "fix none\r\n", "CONFIG\r\n"}));
  rig.receiver->CloseGpsPort();
  EXPECT_EQ(rig.channel->Stops(), 2);

  ReceiverRig trimble;
  trimble.receiver->SelectDecoder(4);
  ASSERT_TRUE(trimble.receiver->OpenGpsPort(3, 115200));
  EXPECT_EQ(trimble.channel->WrittenLines(), std::vector<std::string>{"CONFIG\r\n"});
}

TEST(GpsReceiverTest, OpeningAStillOpenChannelStopsItFirst) {
  ReceiverRig rig;
  rig.receiver->SelectDecoder(4);
  rig.channel->PretendOpen();
  ASSERT_TRUE(rig.receiver->OpenGpsPort(5, 9600));
  EXPECT_EQ(rig.channel->Stops(), 1);
  EXPECT_EQ(rig.time.SleepsOn(std::this_thread::get_id()),
            (std::vector<Millis>{500ms, 200ms, 300ms, 150ms}));
}

TEST(GpsReceiverTest, TrimbleWithoutFixIsConfiguredThirteenTimesAndClosedByItsRetryWorker) {
  ReceiverRig rig(100);
  const auto ui = std::this_thread::get_id();
  rig.receiver->SelectDecoder(4);
  const Millis opened = rig.time.Now();
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(WaitUntil([&] { return !rig.receiver->IsOpen(); }));
  ASSERT_TRUE(WaitUntil([&] { return rig.channel->Stops() == 1; }));

  EXPECT_EQ(rig.decoder.configurations, 13);
  std::vector<std::string> attempts;
  for (int i = 0; i <= 11; ++i)
    attempts.push_back("Init GPSBoard Times " + std::to_string(i) + "\r\n");
  EXPECT_EQ(rig.sinks.Console(), attempts);
  EXPECT_EQ(rig.sinks.Traces(), std::vector<std::string>{"Init GPSBoard Failed!"});

  // The time to the close, as the receiver asked for it: 0.65 s of opening
  // (with one configuration), then twelve 15 s waits, each followed by a
  // 0.15 s configuration: 182.45 s.
  const auto retryWaits = rig.time.WaitsOf(15000ms);
  ASSERT_EQ(retryWaits.size(), 12u);
  Millis asked = Millis::zero();
  for (Millis sleep : rig.time.SleepsOn(ui)) asked += sleep;
  for (const auto& wait : retryWaits) {
    EXPECT_FALSE(wait.Signalled);
    EXPECT_EQ(wait.Thread, retryWaits[0].Thread);
    asked += wait.Timeout;
  }
  const auto retrySleeps = rig.time.SleepsOn(retryWaits[0].Thread);
  ASSERT_GE(retrySleeps.size(), 12u);
  for (size_t i = 0; i < 12; ++i) asked += retrySleeps[i];
  EXPECT_EQ(asked, 182450ms);

  // Measured on the scaled clock, which adds the threads' wake-up latency.
  const double closedAfter =
      std::chrono::duration<double>(rig.channel->StopTimes()[0] - opened).count();
  RecordProperty("closed_after_ms", static_cast<int>(closedAfter * 1000));
  EXPECT_GE(closedAfter, 182.4);
  EXPECT_LT(closedAfter, 220.0);

  rig.receiver->CloseGpsPort();
  EXPECT_EQ(rig.channel->Stops(), 1);
  // The next Start works again on the same object.
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  EXPECT_TRUE(rig.receiver->IsOpen());
}

TEST(GpsReceiverTest, ReceiverWithAFixBeforeTheFirstTimeoutIsConfiguredOnce) {
  ReceiverRig rig(100);
  rig.receiver->SelectDecoder(4);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  rig.channel->Feed("$GPGGA FIX");
  ASSERT_TRUE(WaitUntil([&] { return rig.receiver->Fix().FixQuality() >= 1; }));
  ASSERT_TRUE(WaitUntil([&] { return rig.sinks.Console().size() >= 2; }));
  EXPECT_EQ(rig.decoder.configurations, 1);
  EXPECT_EQ(rig.receiver->Fix().Snapshot().Latitude, 31.5);
  rig.receiver->CloseGpsPort();
  EXPECT_EQ(rig.receiver->Fix().FixQuality(), 1) << "the last fix stays readable";
}

TEST(GpsReceiverTest, DecoderGetsBoundedChunksInArrivalOrder) {
  ReceiverRig rig;
  rig.receiver->SelectDecoder(0);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  std::string sent;
  for (int i = 0; i < 5000; ++i) sent += static_cast<char>('a' + i % 26);
  rig.channel->Feed(sent);
  const auto chunks = [&] {
    std::lock_guard lock(rig.decoder.mutex);
    return rig.decoder.chunks;
  };
  ASSERT_TRUE(WaitUntil([&] { return chunks().size() == 1; }));
  // What was not taken waits for the next data.
  rig.channel->Feed("x");
  ASSERT_TRUE(WaitUntil([&] { return chunks().size() == 2; }));
  rig.channel->Feed("y");
  ASSERT_TRUE(WaitUntil([&] { return chunks().size() == 3; }));
  EXPECT_EQ(chunks(), (std::vector<size_t>{2048, 2048, 906}));
  std::lock_guard lock(rig.decoder.mutex);
  EXPECT_EQ(rig.decoder.bytes, sent + "xy");
}

TEST(GpsReceiverTest, CloseFromTheUiWhileTheRetryWorkerGivesUp) {
  // The UI closes first; the retry worker, still configuring, then finds the
  // receiver closed and ends without waiting for anyone.
  ReceiverRig rig;
  Gate configuring;
  rig.decoder.onConfigure = [&](int number) {
    if (number == 13) configuring.Pass();
  };
  rig.receiver->SelectDecoder(4);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(configuring.WaitArrived(10s));
  std::thread ui([&] { rig.receiver->CloseGpsPort(); });
  ASSERT_TRUE(WaitUntil([&] { return rig.channel->Stops() == 1; }));
  configuring.Open();
  ui.join();
  EXPECT_FALSE(rig.receiver->IsOpen());
  EXPECT_EQ(rig.channel->Stops(), 1);
  EXPECT_EQ(rig.sinks.Traces(), std::vector<std::string>{"Init GPSBoard Failed!"});
}

TEST(GpsReceiverTest, CloseFromTheUiWaitsForTheRetryWorkersClose) {
  // The retry worker closes first; the UI's call returns only once the port
  // is released, so the relay port may be opened right after it.
  ReceiverRig rig;
  Gate stopping;
  rig.channel->onStop = [&] { stopping.Pass(); };
  rig.receiver->SelectDecoder(4);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(stopping.WaitArrived(10s));
  std::atomic<bool> returned{false};
  std::thread ui([&] {
    rig.receiver->CloseGpsPort();
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned) << "returned while the port was still being stopped";
  stopping.Open();
  ui.join();
  EXPECT_EQ(rig.channel->Stops(), 1);
  EXPECT_FALSE(rig.receiver->IsOpen());
}

TEST(GpsReceiverTest, CloseFromBothSidesAtAboutTheSameTime) {
  // The UI's close lands around the retry worker's own, at offsets spread
  // over a few hundred milliseconds: one close each time, no race.
  for (int round = 0; round < 12; ++round) {
    ReceiverRig rig;
    rig.receiver->SelectDecoder(4);
    ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
    const Millis started = rig.time.Now();
    // Twelve waits and twelve configurations after the workers started.
    const Millis giveUp = started + 12 * 15000ms + 12 * 150ms;
    rig.time.Sleep(giveUp - rig.time.Now() + Millis(50 * round - 300));
    rig.receiver->CloseGpsPort();
    EXPECT_FALSE(rig.receiver->IsOpen());
    EXPECT_EQ(rig.channel->Stops(), 1) << "round " << round;
  }
}

TEST(GpsReceiverTest, AdjustTimeHandsTheFixTimeToTheClock) {
  ReceiverRig rig;
  rig.receiver->SelectDecoder(0);
  ASSERT_NE(rig.fix, nullptr);

  // Position without a date yet (GGA before any RMC): no valid calendar date.
  EXPECT_FALSE(rig.receiver->AdjustTime());
  EXPECT_EQ(rig.sinks.Console(),
            (std::vector<std::string>{"0-00-00 00:00:00\r\n", "Adjust Failed! Error:22\r\n"}));

  rig.fix->Modify([](PositionFix& fix) {
    fix.Year = 2026;
    fix.Month = 12;
    fix.Day = 6;
    fix.Hour = 21;
    fix.Minute = 5;
    fix.Second = 9;
  });
  EXPECT_TRUE(rig.receiver->AdjustTime());
  const auto set = rig.clock.Set();
  ASSERT_EQ(set.size(), 2u);
  EXPECT_EQ(set[1].Year, 2026);
  EXPECT_EQ(set[1].Month, 12);
  EXPECT_EQ(set[1].Day, 6);
  EXPECT_EQ(set[1].Hour, 21);
  EXPECT_EQ(set[1].Minute, 5);
  EXPECT_EQ(set[1].Second, 9);
  const auto console = rig.sinks.Console();
  EXPECT_EQ(std::vector<std::string>(console.begin() + 2, console.end()),
            (std::vector<std::string>{"2026-12-06 21:05:09\r\n", "Adjust Time Successfully!"}));

  // The platform's record holds 16-bit fields.
  rig.fix->Modify([](PositionFix& fix) { fix.Year = 65536 + 2027; });
  EXPECT_TRUE(rig.receiver->AdjustTime());
  EXPECT_EQ(rig.clock.Set().back().Year, 2027);
}

TEST(GpsReceiverTest, DestroyingAnOpenReceiverEndsItsWorkers) {
  // A worker left running would touch the destroyed channel and decoder,
  // which the sanitizer builds report.
  ReceiverRig rig;
  rig.receiver->SelectDecoder(4);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  rig.channel->Feed("data");
  const int configurations = rig.decoder.configurations;
  rig.receiver.reset();
  std::this_thread::sleep_for(50ms);  // 50 s of scaled time: three retry periods
  EXPECT_EQ(rig.decoder.configurations, configurations);
}

}  // namespace
}  // namespace corvane
