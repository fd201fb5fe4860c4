// Receiver start-up on stand-ins in scaled time: the opening sequence and its
// failures, the three workers, closing from two threads, and setting the
// clock. The clock is never the host's.
#include "receiver/GpsReceiver.h"

#include <gtest/gtest.h>

#include <future>

#include "fixtures/Doubles.h"
#include "fixtures/Process.h"
#include "fixtures/VirtualTime.h"

namespace corvane::testing {
namespace {

using Strings = std::vector<std::string>;

TextSink Into(Locked<std::string>& lines) {
  return [&lines](std::string_view text) { lines.Add(std::string(text)); };
}

// A GpsReceiver in scaled time on a channel and decoders that record into the
// rig.
struct ReceiverRig {
  // Records what the receiver object writes and, in order with it, "<stop>"
  // when it stops the port.
  struct Channel final : SerialChannel {
    explicit Channel(ReceiverRig& rig) : SerialChannel(rig.time), rig(rig) {}
    bool Open(int, uint32_t) override { return rig.opens; }
    void Stop() override {
      rig.writes.Add("<stop>");
      if (rig.onStop) rig.onStop();
    }
    int32_t Write(const uint8_t* bytes, int32_t count) override {
      rig.writes.Add(std::string(reinterpret_cast<const char*>(bytes), count));
      return count;
    }
    // Hands out the rig's `arriving` bytes (zeros), as many as the reader asks for.
    int32_t Read(uint8_t*, int32_t capacity) override {
      return std::min(capacity, std::exchange(rig.arriving, 0));
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

  RecordingScaledTime time;
  FakeClock clock;
  Locked<std::string> traces, console, writes;
  Locked<int32_t> chunks;
  int32_t arriving = 0;  // set before the opening: only the pump reads it then
  bool opens = true, configures = true;
  std::function<void()> onStop;  // runs inside the channel's Stop
  SharedPositionFix* fix = nullptr;
  std::unique_ptr<GpsReceiver> receiver;  // last: destroyed first
};

TEST(GpsReceiverTest, FailedOpeningsThenFixNoneAndThePumpAndDecodeCycles) {
  ReceiverRig rig;
  // No decoder, a configuration that fails, a port that does not open: each
  // opening fails, with the channel stopped whenever it was opened.
  EXPECT_FALSE(rig.receiver->OpenGpsPort(3, 115200));
  rig.receiver->SelectDecoder(0);
  rig.configures = false;
  EXPECT_FALSE(rig.receiver->OpenGpsPort(3, 115200));
  rig.opens = false;
  EXPECT_FALSE(rig.receiver->OpenGpsPort(3, 115200));
  EXPECT_EQ(rig.traces.Get(), (Strings{"Init Board Failed!\n", "Can't Open GPS Port!"}));

  // With a valid position the retry worker only counts its rounds. The pump
  // reads every 100 ms; the decode worker hands the decoder at most 2048
  // bytes at a time.
  rig.opens = rig.configures = true;
  rig.fix->Modify([](PositionFix& fix) { fix.FixQuality = 1; });
  rig.arriving = 5000;
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(
      WaitUntil([&] { return rig.console.Get().size() >= 2 && !rig.chunks.Get().empty(); }));
  EXPECT_EQ(rig.chunks.Get()[0], 2048);
  EXPECT_NE(rig.time.ThreadOf("wait 100"), std::thread::id{});
  // An opening: 200 ms, workers, 300 ms, the decoder's 150 ms, the fix-none
  // pause; then the close's three pauses.
  rig.receiver->CloseGpsPort();
  EXPECT_EQ(
      rig.time.On(std::this_thread::get_id()),
      (Strings{"200", "300", "200", "300", "150", "200", "300", "150", "200", "100", "50", "100"}));

  // "fix none" only at the first opening in a run; the decoder is made anew.
  rig.receiver->SelectDecoder(0);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  EXPECT_EQ(rig.writes.Get(), (Strings{"<stop>", "CONFIG\r\n", "<stop>", "CONFIG\r\n",
                                       "fix none\r\n", "fix none\r\n", "<stop>", "CONFIG\r\n"}));
}

// The retry worker gives up and closes while the UI closes too: the UI's call
// returns only once the port is released, so that the relay port may be
// opened right after it, and nothing is closed twice.
TEST(GpsReceiverTest, TrimbleWithoutFixIsConfiguredThirteenTimesAndClosedByItsRetryWorker) {
  ReceiverRig rig(100);
  std::promise<void> release;
  rig.onStop = [go = release.get_future().share()] { go.wait_for(10s); };
  rig.receiver->SelectDecoder(4);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200));
  ASSERT_TRUE(WaitUntil([&] { return rig.writes.Get().back() == "<stop>"; }));
  auto closed = std::async(std::launch::async, [&] { rig.receiver->CloseGpsPort(); });
  EXPECT_EQ(closed.wait_for(50ms), std::future_status::timeout)
      << "returned before the port was released";
  release.set_value();
  closed.get();
  Strings writes(13, "CONFIG\r\n");  // and no "fix none"
  writes.push_back("<stop>");
  EXPECT_EQ(rig.writes.Get(), writes);
  EXPECT_EQ(rig.traces.Get(), Strings{"Init GPSBoard Failed!"});

  // Twelve unsignalled 15 s waits on the retry worker, each followed by a
  // configuration and a count; then its close.
  Strings attempts, retry;
  for (int i = 0; i <= 11; ++i) {
    attempts.push_back("Init GPSBoard Times " + std::to_string(i) + "\r\n");
    retry.insert(retry.end(), {"wait 15000", "150"});
  }
  retry.insert(retry.end(), {"100", "50", "100"});
  EXPECT_EQ(rig.console.Get(), attempts);
  EXPECT_EQ(rig.time.On(rig.time.ThreadOf("wait 15000")), retry);
  ASSERT_TRUE(rig.receiver->OpenGpsPort(3, 115200)) << "the next Start works again";
}

TEST(GpsReceiverTest, AdjustTimeSetsTheClockToUtc) {
  ReceiverRig rig;
  rig.receiver->SelectDecoder(kGsofBoard);
  // A position without a date yet (GGA before any RMC): year 0 is refused.
  EXPECT_FALSE(rig.receiver->AdjustTime());
  // The platform's record holds 16-bit fields: the year is taken modulo
  // 65536. GSOF time is GPS time plus 8 h: 8 h and the 18 leap seconds come
  // off, across the turn of the year.
  rig.fix->Modify([](PositionFix& fix) {
    std::tie(fix.Year, fix.Month, fix.Day, fix.Hour, fix.Minute, fix.Second) =
        std::tuple(65536 + 2024, 1, 1, 3, 0, 10);
  });
  EXPECT_TRUE(rig.receiver->AdjustTime());
  EXPECT_EQ(rig.clock.set, (std::vector<CalendarTime>{{}, {2023, 12, 31, 18, 59, 52}}));
  EXPECT_EQ(rig.console.Get(), (Strings{"0-00-00 00:00:00\r\n", "Adjust Failed! Error:22\r\n",
                                        "2024-01-01 03:00:10\r\n", "Adjust Time Successfully!"}));
}

}  // namespace
}  // namespace corvane::testing
