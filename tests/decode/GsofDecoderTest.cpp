#include "decode/GsofDecoder.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fixtures/VirtualTime.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"

namespace corvane {
namespace {

using testing::Bytes;
using testing::Concat;
using testing::Feed;
using testing::GsofReport;
using testing::GsofSatellite;
using testing::PositionRecord;
using testing::PositionTimeRecord;

constexpr double kRad = 1.0 / GsofDecoder::kDegreesPerRadian;

class GsofTest : public ::testing::Test {
 protected:
  PositionFix Decode(const Bytes& bytes, size_t chunk = 2048) {
    Feed(decoder, bytes.data(), bytes.size(), chunk);
    return fix.Snapshot();
  }
  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  GsofDecoder decoder{fix, time};
};

TEST_F(GsofTest, SinglePageReportInRecordOrder) {
  // Record 1 comes first, so its override sees the coordinates held before
  // this report (none): flags 0 give no position.
  PositionFix fix1 = Decode(GsofReport(
      Concat({PositionTimeRecord(1941, 0, 0x00), PositionRecord(31.2 * kRad, 121.5 * kRad, 12.25),
              testing::DilutionRecord(1.5f, 0.75f, 1.25f)}),
      1));
  EXPECT_EQ(fix1.Year, 2017);
  EXPECT_EQ(fix1.Month, 3);
  EXPECT_EQ(fix1.Day, 19);
  EXPECT_EQ(fix1.Hour, 8);
  EXPECT_EQ(fix1.FixQuality, 0);
  EXPECT_NEAR(fix1.Latitude, 31.2, 1e-12);
  EXPECT_NEAR(fix1.Longitude, 121.5, 1e-12);
  EXPECT_EQ(fix1.Altitude, 12.25);
  EXPECT_EQ(fix1.Pdop, 1.5);
  EXPECT_EQ(fix1.Hdop, 0.75);
  EXPECT_EQ(fix1.Vdop, 1.25);
  EXPECT_EQ(fix1.LatHemisphere, 0);
  EXPECT_EQ(fix1.GeoidSeparation, 0.0);
  EXPECT_EQ(decoder.StreamLength(), 0);
  EXPECT_EQ(Decode(GsofReport(PositionTimeRecord(1941, 0, 0x00), 2)).FixQuality, 1);
}

TEST_F(GsofTest, MultiPageReportIsWalkedAtItsLastPage) {
  const Bytes records =
      Concat({PositionTimeRecord(1941, 123456789, 0x07), PositionRecord(-0.5, -1.0, -20.5),
              testing::DilutionRecord(2.0f, 1.0f, 3.0f)});
  const Bytes stream = GsofReport(records, 7, 20);
  const size_t packet = 3 + 20 + 6;
  ASSERT_EQ(stream.size(), 2 * packet + (records.size() - 40) + 9);
  Decode(Bytes(stream.begin(), stream.begin() + 2 * packet));
  EXPECT_EQ(decoder.PageLength(), 40);
  EXPECT_EQ(fix.Snapshot(), PositionFix{});
  PositionFix fix1 = Decode(Bytes(stream.begin() + 2 * packet, stream.end()));
  EXPECT_EQ(decoder.PageLength(), static_cast<int32_t>(records.size()));
  EXPECT_EQ(fix1.Day, 20);
  EXPECT_EQ(fix1.FixQuality, 4);
  EXPECT_DOUBLE_EQ(fix1.Latitude, -0.5 * GsofDecoder::kDegreesPerRadian);
  EXPECT_EQ(fix1.Altitude, -20.5);
  EXPECT_EQ(fix1.Vdop, 3.0);

  // A page past the last one walks the held report again without appending.
  fix.Modify([](PositionFix& f) { f.Vdop = 0.0; });
  Decode(testing::GsofPacket({8, 3, 2, 9, 1, 0}));
  EXPECT_EQ(fix.Snapshot().Vdop, 3.0);
  EXPECT_EQ(decoder.PageLength(), static_cast<int32_t>(records.size()));
}

TEST_F(GsofTest, PageThatDoesNotFitIsDropped) {
  // 41 full pages hold 10168 record bytes; the 42nd, the last, would pass
  // 10240 and is dropped with the report.
  Bytes records;
  while (records.size() < 42 * 248) records.push_back(0);
  const Bytes stream = GsofReport(records, 1, 248);
  Decode(stream, 997);
  EXPECT_EQ(decoder.PageLength(), 41 * 248);
  EXPECT_EQ(fix.Snapshot(), PositionFix{});
}

TEST_F(GsofTest, PacketSplitBeforeItsChecksum) {
  const Bytes stream = GsofReport(PositionTimeRecord(1929, 576000000, 0x01), 1);
  const size_t checksumAt = stream.size() - 2;
  Decode(Bytes(stream.begin(), stream.begin() + static_cast<long>(checksumAt)));
  EXPECT_EQ(fix.Snapshot().Year, 0);
  EXPECT_EQ(decoder.StreamLength(), static_cast<int32_t>(checksumAt));
  PositionFix fix1 = Decode(Bytes(stream.begin() + static_cast<long>(checksumAt), stream.end()));
  EXPECT_EQ(fix1.Year, 2017);
  EXPECT_EQ(fix1.FixQuality, 2);
  EXPECT_EQ(decoder.StreamLength(), 0);
}

TEST_F(GsofTest, EtxStillToComeIsPassedOverAsNoise) {
  const Bytes stream = GsofReport(PositionTimeRecord(1929, 576000000, 0x03), 1);
  PositionFix fix1 = Decode(Bytes(stream.begin(), stream.end() - 1));
  EXPECT_EQ(fix1.FixQuality, 3);
  EXPECT_EQ(decoder.StreamLength(), 0);
  Decode(Bytes{0x03});
  EXPECT_EQ(decoder.StreamLength(), 1);
  Decode(stream);
  EXPECT_EQ(decoder.StreamLength(), 0);
}

TEST_F(GsofTest, CorruptedPacketIsPassedOverAndNoiseDropped) {
  Bytes bad = GsofReport(PositionTimeRecord(1941, 0, 0x07), 1);
  bad[10] ^= 0x01;
  const Bytes good = GsofReport(PositionTimeRecord(1929, 525600000, 0x01), 2);
  const Bytes noise = {0x55, 0x02, 0x41, 0x00, 0x02, 0x00};
  const Bytes other = testing::GsofPacket({0, 0, 0, 1, 10}, 0x41);
  PositionFix fix1 = Decode(Concat({noise, bad, other, good, noise}));
  EXPECT_EQ(fix1.Year, 2016);
  EXPECT_EQ(fix1.Hour, 10);
  EXPECT_EQ(fix1.FixQuality, 2);
  EXPECT_EQ(decoder.StreamLength(), static_cast<int32_t>(noise.size()));
  // The trailing noise went with the next consumed packet.
  Decode(good);
  EXPECT_EQ(decoder.StreamLength(), 0);
}

TEST_F(GsofTest, StreamBufferOverflowRule) {
  const Bytes noise(4500, 0x55);
  Decode(noise, 1500);
  EXPECT_EQ(decoder.StreamLength(), 4500);
  Decode(Bytes(2000, 0x66));
  EXPECT_EQ(decoder.StreamLength(), 4452);

  GsofDecoder second(fix, time);
  Feed(second, noise.data(), 1500);
  Feed(second, noise.data(), 2048);
  EXPECT_EQ(second.StreamLength(), 3548);
  Feed(second, noise.data(), 2048);
  Feed(second, noise.data(), 600);
  EXPECT_EQ(second.StreamLength(), 5596 - 2048 + 600);
  // Noise alone never grows past the buffer, whatever the chunking.
  Feed(second, Bytes(100000, 0x02).data(), 100000, 333);
  EXPECT_LE(second.StreamLength(), GsofDecoder::kStreamSize);
}

TEST_F(GsofTest, WeekAndTimeOfWeekToCalendar) {
  struct Case {
    uint16_t week;
    uint32_t ms;
    CalendarTime expected;
  };
  const Case cases[] = {{1941, 0, {2017, 3, 19, 8, 0, 0}},
                        {1941, 123456789, {2017, 3, 20, 18, 17, 36}},
                        {1929, 525600000, {2016, 12, 31, 10, 0, 0}},
                        {1929, 576000000, {2017, 1, 1, 0, 0, 0}},
                        {0, 0, {1980, 1, 6, 8, 0, 0}},
                        {1042, 518400000, {2000, 1, 1, 8, 0, 0}},
                        {1051, 172800000, {2000, 2, 29, 8, 0, 0}}};
  for (const Case& c : cases) {
    const CalendarTime t = GpsWeekToCalendar(c.week, c.ms);
    EXPECT_EQ(std::tie(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second),
              std::tie(c.expected.Year, c.expected.Month, c.expected.Day, c.expected.Hour,
                       c.expected.Minute, c.expected.Second))
        << c.week << " " << c.ms;
    const PositionFix decoded = Decode(GsofReport(PositionTimeRecord(c.week, c.ms, 0), 1));
    EXPECT_EQ(std::tie(decoded.Year, decoded.Month, decoded.Day, decoded.Hour, decoded.Minute,
                       decoded.Second),
              std::tie(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second));
  }
  const CalendarTime far = GpsWeekToCalendar(65535, 0xFFFFFFFFu);
  EXPECT_GT(far.Year, 3000);
}

TEST_F(GsofTest, FixQualityTableAndCoordinateOverride) {
  const std::pair<uint8_t, int32_t> table[] = {{0x00, 0}, {0x01, 2}, {0x03, 3}, {0x07, 4},
                                               {0x04, 1}, {0x05, 1}, {0x06, 0}, {0x0B, 0},
                                               {0xF1, 2}, {0x0C, 1}};
  for (const auto& [flags, quality] : table)
    EXPECT_EQ(FixQualityFromFlags(flags), quality) << int{flags};

  const auto qualityAt = [&](double lat, double lon, uint8_t flags) {
    Decode(GsofReport(PositionRecord(lat * kRad, lon * kRad, 0.0), 1));
    return Decode(GsofReport(PositionTimeRecord(1941, 0, flags), 2)).FixQuality;
  };
  EXPECT_EQ(qualityAt(-33.9, 151.2, 0x00), 0);
  EXPECT_EQ(qualityAt(31.2, 121.5, 0x00), 1);
  EXPECT_EQ(qualityAt(-33.9, 151.2, 0x07), 4);
  EXPECT_EQ(qualityAt(31.2, 121.5, 0x07), 1);
  EXPECT_EQ(qualityAt(31.2, -121.5, 0x07), 4);
  // Exactly 1.0 does not count as above 1.0.
  fix.Modify([](PositionFix& f) {
    f.Latitude = 1.0;
    f.Longitude = 121.5;
  });
  EXPECT_EQ(Decode(GsofReport(PositionTimeRecord(1941, 0, 0x00), 3)).FixQuality, 0);
}

TEST_F(GsofTest, RadiansAndSinglePrecisionSigma) {
  PositionFix fix1 = Decode(GsofReport(
      Concat({PositionRecord(0.5, -0.25, 45.125), testing::SigmaRecord(0.1f, 0.2f, 0.3f)}), 1));
  EXPECT_EQ(fix1.Latitude, 28.647890245221483);
  EXPECT_EQ(fix1.Longitude, -0.25 * 57.295780490442965);
  EXPECT_EQ(fix1.Altitude, 45.125);
  const float east2 = 0.1f * 0.1f;
  const float north2 = 0.2f * 0.2f;
  const float sum = east2 + north2;
  EXPECT_EQ(fix1.Hrms, std::sqrt(static_cast<double>(sum)));
  EXPECT_NE(fix1.Hrms, std::sqrt(0.1 * 0.1 + 0.2 * 0.2));
  EXPECT_EQ(fix1.Vrms, static_cast<double>(0.3f));
}

std::vector<GsofSatellite> Satellites(int count, uint8_t system) {
  std::vector<GsofSatellite> sats;
  for (int k = 0; k < count; ++k) {
    sats.push_back({static_cast<uint8_t>(k + 1), system, static_cast<uint8_t>(k % 2 ? 0x40 : 0x3F),
                    static_cast<uint8_t>(200 + k), static_cast<uint16_t>(300 + k),
                    static_cast<uint8_t>(4 * 45 + 3), static_cast<uint8_t>(4 * 30 + 1)});
  }
  return sats;
}

TEST_F(GsofTest, SatelliteDetailWithThirtySatellites) {
  std::vector<GsofSatellite> sats = Satellites(12, 0);
  for (GsofSatellite sat : Satellites(8, 2)) sats.push_back(sat);
  for (GsofSatellite sat : Satellites(5, 5)) sats.push_back(sat);
  for (GsofSatellite sat : Satellites(3, 3)) sats.push_back(sat);
  for (GsofSatellite sat : Satellites(2, 1)) sats.push_back(sat);
  const Bytes record34 = testing::SatelliteRecord(sats);
  ASSERT_EQ(record34.size(), 303u);
  ASSERT_EQ(record34[1], 45);
  PositionFix fix1 =
      Decode(GsofReport(Concat({record34, testing::DilutionRecord(9.0f, 8.0f, 7.0f)}), 1));
  EXPECT_EQ(fix1.GpsInView, 14);
  EXPECT_EQ(fix1.GloInView, 8);
  EXPECT_EQ(fix1.BdsInView, 5);
  EXPECT_EQ(fix1.SatsInView, 27);
  EXPECT_EQ(fix1.Pdop, 9.0);
  const SatelliteInfo& gps1 = fix1.GpsSats[1];
  EXPECT_EQ(gps1.Prn, 2);
  EXPECT_EQ(gps1.Elevation, 201);
  EXPECT_EQ(gps1.Azimuth, 301);
  EXPECT_EQ(gps1.Snr, 45);
  EXPECT_EQ(gps1.Snr2, 30);
  EXPECT_EQ(gps1.Used, 1);
  EXPECT_EQ(fix1.GpsSats[0].Used, 0);
  EXPECT_EQ(fix1.GpsSats[12].Prn, 1);  // system 1 (SBAS) files with GPS
  EXPECT_EQ(fix1.GloSats[7].Prn, 8);
  EXPECT_EQ(fix1.BdsSats[4].Prn, 5);
  EXPECT_EQ(fix1.BdsSats[5], SatelliteInfo{});

  // The next record 34 empties the tables first; more than 20 of a system
  // are dropped.
  PositionFix fix2 = Decode(GsofReport(testing::SatelliteRecord(Satellites(24, 0)), 2));
  EXPECT_EQ(fix2.GpsInView, 20);
  EXPECT_EQ(fix2.GloInView, 0);
  EXPECT_EQ(fix2.SatsInView, 20);
  EXPECT_EQ(fix2.GpsSats[19].Prn, 20);
  EXPECT_EQ(fix2.GloSats[0], SatelliteInfo{});
}

TEST_F(GsofTest, ShortAndTruncatedRecordsStayInBounds) {
  // Record 2 with a body of 8 bytes is skipped; the record after it counts.
  const Bytes shortPosition = testing::Record(2, Bytes(8, 0x3F));
  // Record 34 announcing 5 satellites in 50 body bytes (51 needed) is skipped.
  Bytes satellites(50, 0);
  satellites[0] = 5;
  const Bytes shortSatellites = testing::Record(34, satellites);
  PositionFix fix1 = Decode(GsofReport(
      Concat({shortPosition, shortSatellites, testing::DilutionRecord(4.0f, 3.0f, 2.0f)}), 1));
  EXPECT_EQ(fix1.Latitude, 0.0);
  EXPECT_EQ(fix1.GpsInView, 0);
  EXPECT_EQ(fix1.Pdop, 4.0);
  // A record running past the report ends the walk.
  Bytes cut = testing::DilutionRecord(5.0f, 5.0f, 5.0f);
  cut.resize(cut.size() - 1);
  PositionFix fix2 =
      Decode(GsofReport(Concat({testing::DilutionRecord(6.0f, 6.0f, 6.0f), cut}), 2));
  EXPECT_EQ(fix2.Pdop, 6.0);
  // A lone type byte, an empty report and a payload of three bytes change nothing.
  Decode(GsofReport(Bytes{9}, 3));
  Decode(testing::GsofPacket({1, 0, 0}));
  EXPECT_EQ(fix.Snapshot().Pdop, 6.0);
}

TEST(GsofEdgeTest, EmptyInputTracesAndConfigureBytes) {
  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  GsofDecoder decoder(fix, time, testing::RecordTrace);
  testing::TracedLines().clear();
  const uint8_t byte = 0;
  EXPECT_EQ(decoder.Decode(nullptr, 10), 0);
  EXPECT_EQ(decoder.Decode(&byte, 0), 0);
  EXPECT_EQ(testing::TracedLines(),
            std::vector<std::string>(2, "Decoder -- Decoder Input InValid Para \n"));

  testing::RecordingWriter writer;
  EXPECT_TRUE(decoder.ConfigureReceiver(writer));
  const std::vector<std::vector<uint8_t>> expected = {
      {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
       0x07, 0x08, 0x0a, 0x00, 0x05, 0x00, 0x22, 0x00, 0x00, 0x00, 0xb9, 0x03},
      {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
       0x07, 0x08, 0x0a, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0x98, 0x03},
      {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x03, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
       0x07, 0x08, 0x0a, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x99, 0x03}};
  EXPECT_EQ(writer.writes, expected);
  for (const auto& block : writer.writes) {
    const Bytes data(block.begin() + 6, block.begin() + 23);
    EXPECT_EQ(block[23], testing::GsofChecksum(block[3], block[4], data));
  }
  EXPECT_EQ(time.Sleeps(), std::vector<Millis>(3, Millis{50}));
}

}  // namespace
}  // namespace corvane
