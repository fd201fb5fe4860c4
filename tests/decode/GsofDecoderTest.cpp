#include "decode/GsofDecoder.h"

#include <gtest/gtest.h>

#include "fixtures/VirtualTime.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"

namespace corvane::testing {
namespace {

constexpr double kDegrees = GsofDecoder::kDegreesPerRadian;

class GsofTest : public ::testing::Test {
 protected:
  PositionFix Decode(const Bytes& bytes, size_t chunk = 2048) {
    Feed(decoder, bytes, chunk);
    return fix.Snapshot();
  }
  VirtualTimeSource time;
  SharedPositionFix fix;
  GsofDecoder decoder{fix, time, RecordTrace};
};

TEST_F(GsofTest, SinglePageReportInRecordOrder) {
  // Record 1 comes first, so its override sees the coordinates held before
  // this report (none): flags 0 give no position. The next report's does.
  const PositionFix f =
      Decode(GsofReport(Concat({PositionTimeRecord(1941, 0, 0x00), PositionRecord(0.5, 2.0, 12.25),
                                DilutionRecord(1.5f, 0.75f, 1.25f)}),
                        1));
  EXPECT_EQ(std::tuple(f.Year, f.Month, f.Day, f.Hour, f.FixQuality, f.LatHemisphere),
            std::tuple(2017, 3, 19, 8, 0, '\0'));
  EXPECT_EQ(std::tuple(f.Latitude, f.Longitude, f.Altitude, f.GeoidSeparation),
            std::tuple(0.5 * kDegrees, 2.0 * kDegrees, 12.25, 0.0));
  EXPECT_EQ(std::tuple(f.Pdop, f.Hdop, f.Vdop), std::tuple(1.5, 0.75, 1.25));
  EXPECT_EQ(decoder.StreamLength(), 0);
  EXPECT_EQ(Decode(GsofReport(PositionTimeRecord(1941, 0, 0x00), 2)).FixQuality, 1);
}

TEST_F(GsofTest, MultiPageReportIsWalkedAtItsLastPage) {
  const Bytes records =
      Concat({PositionTimeRecord(1941, 123456789, 0x07), PositionRecord(-0.5, -1.0, -20.5),
              DilutionRecord(2.0f, 1.0f, 3.0f)});
  const Bytes stream = GsofReport(records, 7, 20);
  const auto lastPage = stream.begin() + 2 * (3 + 20 + 6);  // two full packets
  Decode(Bytes(stream.begin(), lastPage));
  EXPECT_EQ(decoder.PageLength(), 40);
  EXPECT_EQ(fix.Snapshot(), PositionFix{});
  const PositionFix f = Decode(Bytes(lastPage, stream.end()));
  EXPECT_EQ(decoder.PageLength(), static_cast<int32_t>(records.size()));
  EXPECT_EQ(std::tuple(f.Day, f.FixQuality, f.Latitude, f.Altitude, f.Vdop),
            std::tuple(20, 4, -0.5 * kDegrees, -20.5, 3.0));
}

// A report is joined only from page 0 and each next page of its transmission;
// a page out of turn drops what was joined. Each row follows a complete
// report with a position (so a page 0 added to it would walk that again)
// and each of its pages holds a whole record 9, so any walk shows.
TEST_F(GsofTest, PagesOutOfTurnDropThePartialReport) {
  struct Page {
    uint8_t transmission, index, last;
  };
  const struct {
    const char* what;
    std::vector<Page> pages;
    double pdop;
  } rows[] = {
      {"page 0 lost", {{2, 1, 2}, {2, 2, 2}}, 0.0},
      {"page 1 lost", {{2, 0, 2}, {2, 2, 2}}, 0.0},
      {"pages of another transmission", {{2, 0, 2}, {3, 1, 2}, {3, 2, 2}}, 0.0},
      {"last page index changes", {{2, 0, 2}, {2, 1, 3}, {2, 2, 2}}, 0.0},
      {"page repeated", {{2, 0, 2}, {2, 1, 2}, {2, 1, 2}, {2, 2, 2}}, 0.0},
      {"page past the last", {{1, 2, 1}}, 0.0},
      {"all pages in turn", {{2, 0, 1}, {2, 1, 1}}, 5.0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Decode(GsofReport(Concat({PositionRecord(0.5, 2.0, 7.0), DilutionRecord(2.0f, 2.0f, 2.0f)}), 1,
                      26));
    fix.Modify([](PositionFix& held) { held = {}; });
    for (const Page& page : row.pages) {
      Decode(GsofPacket(
          Concat({{page.transmission, page.index, page.last}, DilutionRecord(5.0f, 5.0f, 5.0f)})));
    }
    EXPECT_EQ(fix.Snapshot(), (PositionFix{.Pdop = row.pdop, .Hdop = row.pdop, .Vdop = row.pdop}));
  }
}

TEST_F(GsofTest, PageThatDoesNotFitIsDropped) {
  // 41 full pages hold 10168 record bytes; the 42nd, the last, would pass
  // 10240 and is dropped with the report.
  Decode(GsofReport(Bytes(42 * 248, 0), 1), 997);
  EXPECT_EQ(decoder.PageLength(), 0);
  EXPECT_EQ(fix.Snapshot(), PositionFix{});
  EXPECT_EQ(std::tuple(decoder.Counts().Accepted, decoder.Counts().BadLength), std::tuple(42, 1));
}

TEST_F(GsofTest, PacketsSplitCorruptedOrAmidNoise) {
  const Bytes packet = GsofReport(PositionTimeRecord(1929, 576000000, 0x01), 1);
  const auto checksum = packet.end() - 2;
  EXPECT_EQ(Decode(Bytes(packet.begin(), checksum)).Year, 0);
  EXPECT_EQ(decoder.StreamLength(), static_cast<int32_t>(packet.size() - 2));
  const PositionFix f = Decode(Bytes(checksum, packet.end()));
  EXPECT_EQ(std::tuple(f.Year, f.Month, f.Day, f.Hour, f.FixQuality), std::tuple(2017, 1, 1, 0, 2));
  EXPECT_EQ(decoder.StreamLength(), 0);

  // A packet is taken before its ETX arrives; the ETX is then passed over as
  // noise, which goes with the next packet.
  const Bytes other = GsofReport(PositionTimeRecord(1929, 576000000, 0x03), 2);
  EXPECT_EQ(Decode(Bytes(other.begin(), other.end() - 1)).FixQuality, 3);
  EXPECT_EQ(decoder.StreamLength(), 0);
  Decode(Bytes{0x03});
  EXPECT_EQ(decoder.StreamLength(), 1);
  Decode(packet);
  EXPECT_EQ(decoder.StreamLength(), 0);

  // A corrupted packet, another packet type and noise are passed over.
  Bytes bad = GsofReport(PositionTimeRecord(1941, 0, 0x07), 1);
  bad[10] ^= 0x01;
  const Bytes good = GsofReport(PositionTimeRecord(1929, 525600000, 0x01), 2);
  const Bytes noise = {0x55, 0x02, 0x41, 0x00, 0x02, 0x00};
  const Bytes otherType = GsofPacket({0, 0, 0, 1, 10}, 0x41);
  // A start in the noise claims 8 bytes that hold the next packet's start.
  const Bytes falseStart = {0x02, 0x00, 0x40, 0x08};
  const PositionFix passed = Decode(Concat({noise, bad, otherType, falseStart, good, noise}));
  EXPECT_EQ(std::tuple(passed.Year, passed.Hour, passed.FixQuality), std::tuple(2016, 10, 2));
  EXPECT_EQ(decoder.StreamLength(), static_cast<int32_t>(noise.size()));
  // The trailing noise went with the next consumed packet.
  Decode(good);
  EXPECT_EQ(decoder.StreamLength(), 0);
}

TEST_F(GsofTest, StreamBufferOverflowRule) {
  Decode(Bytes(4500, 0x55), 1500);
  EXPECT_EQ(decoder.StreamLength(), 4500);
  Decode(Bytes(2000, 0x66));
  EXPECT_EQ(decoder.StreamLength(), 4452);

  GsofDecoder second(fix, time);
  for (size_t chunk : {1500, 2048}) Feed(second, Bytes(chunk, 0x55));
  EXPECT_EQ(second.StreamLength(), 3548);
  for (size_t chunk : {2048, 600}) Feed(second, Bytes(chunk, 0x55));
  EXPECT_EQ(second.StreamLength(), 4148);
  // Noise alone never grows past the buffer, whatever the chunking.
  Feed(second, Bytes(100000, 0x02), 333);
  EXPECT_LE(second.StreamLength(), GsofDecoder::kStreamSize);
}

TEST_F(GsofTest, WeekAndTimeOfWeekToCalendar) {
  const struct {
    uint16_t week;
    uint32_t ms;
    std::array<int32_t, 6> date;
  } cases[] = {{1941, 0, {2017, 3, 19, 8, 0, 0}},
               {1941, 123456789, {2017, 3, 20, 18, 17, 36}},
               {1929, 525600000, {2016, 12, 31, 10, 0, 0}},
               {1929, 576000000, {2017, 1, 1, 0, 0, 0}},
               {1051, 172800000, {2000, 2, 29, 8, 0, 0}}};
  for (const auto& c : cases) {
    const PositionFix f = Decode(GsofReport(PositionTimeRecord(c.week, c.ms, 0), 1));
    EXPECT_EQ((std::array{f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second}), c.date)
        << c.week << " " << c.ms;
  }
  EXPECT_GT(GpsWeekToCalendar(65535, 0xFFFFFFFFu).Year, 3000);
}

// The flags table, then held coordinates both above 1 degree make any flags
// a valid position; exactly 1.0 is not above.
TEST_F(GsofTest, FixQualityTableAndCoordinateOverride) {
  const struct {
    double lat, lon;
    uint8_t flags;
    int32_t quality;
  } cases[] = {{0, 0, 0x00, 0},         {0, 0, 0x01, 2},         {0, 0, 0x03, 3},
               {0, 0, 0x07, 4},         {0, 0, 0x04, 1},         {0, 0, 0x05, 1},
               {0, 0, 0x06, 0},         {0, 0, 0x0B, 0},         {0, 0, 0xF1, 2},
               {0, 0, 0x0C, 1},         {-33.9, 151.2, 0x00, 0}, {31.2, 121.5, 0x00, 1},
               {-33.9, 151.2, 0x07, 4}, {31.2, 121.5, 0x07, 1},  {31.2, -121.5, 0x07, 4},
               {1.0, 121.5, 0x00, 0}};
  for (const auto& c : cases) {
    fix.Modify([&](PositionFix& held) {
      held.Latitude = c.lat;
      held.Longitude = c.lon;
    });
    EXPECT_EQ(Decode(GsofReport(PositionTimeRecord(1941, 0, c.flags), 1)).FixQuality, c.quality)
        << c.lat << " " << c.lon << " " << int{c.flags};
  }
}

TEST_F(GsofTest, RadiansAndSinglePrecisionSigma) {
  const PositionFix f = Decode(
      GsofReport(Concat({PositionRecord(0.5, -0.25, 45.125), SigmaRecord(0.1f, 0.2f, 0.3f)}), 1));
  EXPECT_EQ(std::tuple(f.Latitude, f.Longitude, f.Altitude),
            std::tuple(28.647890245221483, -0.25 * 57.295780490442965, 45.125));
  // Squared and summed in single precision; in double it would be 0.22360679774997899.
  EXPECT_EQ(std::tuple(f.Hrms, f.Vrms), std::tuple(0.22360680774598155, double{0.3f}));
}

// `count` entries of `system` numbered from 1, every second one used, with
// 45 and 30 dB-Hz.
Bytes Satellites(uint8_t count, uint8_t system) {
  Bytes entries;
  for (uint8_t k = 0; k < count; ++k) {
    Append(entries,
           Satellite(k + 1, system, k % 2 ? 0x40 : 0x3F, 200 + k, 300 + k, 4 * 45 + 3, 4 * 30 + 1));
  }
  return entries;
}

TEST_F(GsofTest, SatelliteDetailWithThirtySatellites) {
  // GPS, GLONASS, BeiDou, systems 3 and 4 (not kept), SBAS (kept with GPS).
  const Bytes entries = Concat({Satellites(12, 0), Satellites(8, 2), Satellites(5, 5),
                                Satellites(2, 3), Satellites(1, 4), Satellites(2, 1)});
  const Bytes record34 = Record(34, Concat({{30}, entries}));
  ASSERT_EQ(record34.size(), 303u);
  ASSERT_EQ(record34[1], 45);
  const PositionFix f = Decode(GsofReport(Concat({record34, DilutionRecord(9.0f, 8.0f, 7.0f)}), 1));
  EXPECT_EQ(std::tuple(f.GpsInView, f.GloInView, f.BdsInView, f.SatsInView, f.Pdop),
            std::tuple(14, 8, 5, 27, 9.0));
  EXPECT_EQ(f.GpsSats[1], (SatelliteInfo{2, 201, 301, 45, 30, 1}));
  EXPECT_EQ(std::tuple(f.GpsSats[0].Used, f.GpsSats[12].Prn, f.GloSats[7].Prn, f.BdsSats[4].Prn),
            std::tuple(0, 1, 8, 5));
  EXPECT_EQ(f.BdsSats[5], SatelliteInfo{});

  // The next record 34 empties the tables first; more than 20 of a system
  // are dropped, and the systems after them still count.
  const PositionFix next =
      Decode(GsofReport(Record(34, Concat({{30}, Satellites(25, 0), Satellites(5, 2)})), 2));
  EXPECT_EQ(std::tuple(next.GpsInView, next.GloInView, next.BdsInView, next.SatsInView),
            std::tuple(20, 5, 0, 25));
  EXPECT_EQ(std::tuple(next.GpsSats[19].Prn, next.GloSats[4].Prn), std::tuple(20, 5));
  EXPECT_EQ(next.GloSats[5], SatelliteInfo{});
}

// Past 25 satellites the length byte holds the low eight bits of the body,
// which the count gives (1 + 10 x N); past 51 adding 256 once is not enough.
TEST_F(GsofTest, SatelliteDetailOverFiftyOneSatellites) {
  for (const int count : {52, 70, 255}) {
    SCOPED_TRACE(count);
    const Bytes entries = Concat({Satellites(20, 0), Satellites(20, 2), Satellites(11, 5),
                                  Satellites(static_cast<uint8_t>(count - 51), 3)});
    const Bytes record34 = Record(34, Concat({{static_cast<uint8_t>(count)}, entries}));
    const PositionFix f = Decode(
        GsofReport(Concat({record34, PositionRecord(0.5, 2.0, 7.0)}), static_cast<uint8_t>(count)));
    EXPECT_EQ(std::tuple(f.GpsInView, f.GloInView, f.BdsInView, f.Latitude, f.Altitude),
              std::tuple(20, 20, 11, 0.5 * kDegrees, 7.0));
  }
}

TEST_F(GsofTest, ShortAndTruncatedRecordsStayInBounds) {
  // Record 2 with 8 body bytes is skipped. Record 34 announcing 5 satellites
  // in 50 body bytes (51 needed) leaves unknown where the next record starts:
  // the walk ends, keeping what came before it.
  Bytes satellites(50, 0);
  satellites[0] = 5;
  const PositionFix f =
      Decode(GsofReport(Concat({Record(2, Bytes(8, 0x3F)), DilutionRecord(4.0f, 3.0f, 2.0f),
                                Record(34, satellites), PositionRecord(0.5, 2.0, 7.0)}),
                        1));
  EXPECT_EQ(std::tuple(f.Latitude, f.GpsInView, f.Pdop), std::tuple(0.0, 0, 4.0));
  // A record running past the report ends the walk.
  Bytes cut = DilutionRecord(5.0f, 5.0f, 5.0f);
  cut.pop_back();
  EXPECT_EQ(Decode(GsofReport(Concat({DilutionRecord(6.0f, 6.0f, 6.0f), cut}), 2)).Pdop, 6.0);
  // A lone type byte and a payload of three bytes change nothing.
  Decode(GsofReport(Bytes{9}, 3));
  EXPECT_EQ(Decode(GsofPacket({1, 0, 0})).Pdop, 6.0);

  // No bytes at all are traced.
  tracedLines.clear();
  const uint8_t byte = 0;
  EXPECT_EQ(decoder.Decode(nullptr, 10) + decoder.Decode(&byte, 0), 0);
  EXPECT_EQ(tracedLines, std::vector<std::string>(2, "Decoder -- Decoder Input InValid Para \n"));
}

}  // namespace
}  // namespace corvane::testing
