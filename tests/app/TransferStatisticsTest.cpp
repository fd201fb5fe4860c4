#include "app/TransferStatistics.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(TransferStatisticsTest, ByteCountsChangeUnitAtTheirBounds) {
  EXPECT_EQ(FormatSentBytes(0), "0 B");
  EXPECT_EQ(FormatSentBytes(1023), "1023 B");
  EXPECT_EQ(FormatSentBytes(1024), "1.00 KB");
  EXPECT_EQ(FormatSentBytes(1048575), "1024.00 KB");
  EXPECT_EQ(FormatSentBytes(1048576), "1.000 MB");
  // The quotient is single precision: 3000 MB and 525 bytes are held as
  // 3000 MB and 512 bytes, 3000.000 rather than 3000.001.
  EXPECT_EQ(FormatSentBytes(3145728525u), "3000.000 MB");
}

TEST(TransferStatisticsTest, SpeedRingProgressAndTheEightTickSum) {
  TransferStatistics statistics;
  TransferLine line = statistics.UpdateStatus(500);
  EXPECT_EQ(line.Speed, "500.00B/s");
  EXPECT_EQ(line.Sent, "500 B");
  EXPECT_EQ(line.Progress, 0);
  EXPECT_EQ(line.RecentBytes, 500u);

  line = statistics.UpdateStatus(600);  // mean of 500 and 100
  EXPECT_EQ(line.Speed, "300.00B/s");
  EXPECT_EQ(line.Progress, 1);
  for (int tick = 3; tick <= 8; ++tick) line = statistics.UpdateStatus(600);
  EXPECT_EQ(line.Speed, "75.00B/s");  // 600 over eight samples
  EXPECT_FALSE(line.Progress);        // no bytes, no step
  EXPECT_EQ(line.RecentBytes, 600u);
  line = statistics.UpdateStatus(601);  // the ring starts again: one sample
  EXPECT_EQ(line.Speed, "1.00B/s");
  EXPECT_EQ(line.RecentBytes, 101u);
  for (int tick = 0; tick < 7; ++tick) line = statistics.UpdateStatus(601);
  EXPECT_EQ(line.RecentBytes, 1u);
  line = statistics.UpdateStatus(601);
  EXPECT_EQ(line.RecentBytes, 0u);  // eight ticks without bytes: an idle tick

  // A total that went back (a new relay) counts 0 and starts over.
  line = statistics.UpdateStatus(40);
  EXPECT_EQ(line.RecentBytes, 0u);
  line = statistics.UpdateStatus(50);
  EXPECT_EQ(line.RecentBytes, 50u);
  EXPECT_EQ(line.Progress, 3);

  // A reset zeroes the samples and the previous total, not the ring position
  // nor the progress step.
  statistics.ResetStatus();
  line = statistics.UpdateStatus(8);
  EXPECT_EQ(line.RecentBytes, 8u);
  EXPECT_EQ(line.Speed, "2.00B/s");  // samples 0 to 3: three zeroed, then 8
  EXPECT_EQ(line.Progress, 4);
  for (int step = 5; step < 100; ++step) statistics.UpdateStatus(8 + static_cast<uint32_t>(step));
  EXPECT_EQ(statistics.UpdateStatus(200).Progress, 0);  // after position 99
}

}  // namespace
}  // namespace corvane
