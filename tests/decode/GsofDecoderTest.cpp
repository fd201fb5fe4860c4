#include "decode/GsofDecoder.h"

#include <gtest/gtest.h>

#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"

namespace corvane::testing {
namespace {

class GsofTest : public ::testing::Test, public DecoderRig<GsofDecoder, Bytes> {};

// Nothing is walked before the last page; then the records in their order:
// record 1 comes first, so its coordinate override sees the coordinates held
// before this report (none), and the next report's sees these.
TEST_F(GsofTest, PagesAreJoinedInTurnAndWalkedAtTheLast) {
  const Bytes stream =
      GsofReport(Concat({PositionTimeRecord(1941, 123456789, 0x00), PositionRecord(0.5, 2.0, -20.5),
                         DilutionRecord(2.0f, 1.0f, 3.0f), SigmaRecord(0.1f, 0.2f, 0.3f)}),
                 7, 20);
  const auto lastPage = stream.begin() + 4 * (3 + 20 + 6);  // four full packets
  EXPECT_EQ(Decode(Bytes(stream.begin(), lastPage)), PositionFix{});
  const PositionFix f = Decode(Bytes(lastPage, stream.end()));
  EXPECT_EQ(std::tuple(f.Day, f.FixQuality, f.Latitude, f.Longitude, f.Altitude),
            std::tuple(20, 0, 28.647890245221483, 2.0 * GsofDecoder::kDegreesPerRadian, -20.5));
  EXPECT_EQ(std::tuple(f.Pdop, f.Hdop, f.Vdop), std::tuple(2.0, 1.0, 3.0));
  // Squared and summed in single precision; in double it would be 0.22360679774997899.
  EXPECT_EQ(std::tuple(f.Hrms, f.Vrms), std::tuple(0.22360680774598155, double{0.3f}));
  EXPECT_EQ(Decode(GsofReport(PositionTimeRecord(1941, 0, 0x00), 8)).FixQuality, 1);

  // A report is joined only from page 0 and each next page of its
  // transmission; a page out of turn drops what was joined. Each row follows
  // a complete report with a position (so a page 0 added to it would walk
  // that again) and each of its pages holds a whole record 9, so any walk
  // shows.
  using Page = std::array<uint8_t, 3>;  // transmission, index, last index
  const std::pair<std::vector<Page>, double> rows[] = {
      {{{2, 0, 2}, {2, 2, 2}}, 0.0},             // page 1 lost
      {{{2, 0, 2}, {3, 1, 2}, {3, 2, 2}}, 0.0},  // another transmission
      {{{2, 0, 2}, {2, 1, 3}, {2, 2, 2}}, 0.0},  // last index changes
      {{{1, 2, 1}}, 0.0},                        // page past the last
      {{{2, 0, 1}, {2, 1, 1}}, 5.0},             // all in turn
  };
  for (const auto& [pages, pdop] : rows) {
    Decode(GsofReport(Concat({PositionRecord(0.5, 2.0, 7.0), DilutionRecord(2.0f, 2.0f, 2.0f)}), 1,
                      26));
    fix.Modify([](PositionFix& held) { held = {}; });
    for (const Page& page : pages)
      Decode(GsofPacket(Concat({{page[0], page[1], page[2]}, DilutionRecord(5.0f, 5.0f, 5.0f)})));
    EXPECT_EQ(fix.Snapshot(), (PositionFix{.Pdop = pdop, .Hdop = pdop, .Vdop = pdop}))
        << pages[0][1];
  }
  // 41 full pages hold 10168 record bytes; the 42nd, the last, would pass
  // 10240 and is dropped with the report.
  const auto accepted = decoder.Counts().Accepted;
  Decode(GsofReport(Bytes(42 * 248, 0), 1), 997);
  EXPECT_EQ(std::tuple(decoder.Counts().Accepted - accepted, decoder.Counts().BadLength,
                       decoder.PageLength()),
            std::tuple(42, 1, 0));
}

TEST_F(GsofTest, DamagedInputIsPassedOverWithinBounds) {
  // Over 4096 bytes held, the oldest 2048 go.
  Decode(Bytes(4500, 0x55), 1500);
  EXPECT_EQ(decoder.StreamLength(), 4500);
  Decode(Bytes(2000, 0x66));
  EXPECT_EQ(decoder.StreamLength(), 4452);

  // A packet is taken before its ETX arrives.
  const Bytes packet = GsofReport(PositionTimeRecord(1929, 576000000, 0x01), 1);
  EXPECT_EQ(Decode(Bytes(packet.begin(), packet.end() - 2)).Year, 0);
  EXPECT_EQ(Decode(Bytes(packet.end() - 2, packet.end() - 1)).FixQuality, 2);

  // A corrupted packet, another packet type and noise are passed over; a
  // start in the noise claims 8 bytes that hold the next packet's start.
  Bytes bad = GsofReport(PositionTimeRecord(1941, 0, 0x07), 1);
  bad[10] ^= 0x01;
  const Bytes good = GsofReport(PositionTimeRecord(1929, 525600000, 0x03), 2);
  const Bytes noise = {0x55, 0x02, 0x41, 0x00, 0x02, 0x00};
  const PositionFix f = Decode(
      Concat({noise, bad, GsofPacket({0, 0, 0, 1, 10}, 0x41), {0x02, 0x00, 0x40, 0x08}, good}));
  EXPECT_EQ(std::tuple(f.Year, f.Hour, f.FixQuality, decoder.Counts().BadChecksum),
            std::tuple(2016, 10, 3, 2));

  // Record 2 with 8 body bytes is skipped. Record 34 announcing 5 satellites
  // in 50 body bytes (51 needed) leaves unknown where the next record starts:
  // the walk ends, keeping what came before it.
  Bytes satellites(50, 0);
  satellites[0] = 5;
  const PositionFix walked =
      Decode(GsofReport(Concat({Record(2, Bytes(8, 0x3F)), DilutionRecord(4.0f, 3.0f, 2.0f),
                                Record(34, satellites), PositionRecord(0.5, 2.0, 7.0)}),
                        1));
  EXPECT_EQ(std::tuple(walked.Latitude, walked.GpsInView, walked.Pdop), std::tuple(0.0, 0, 4.0));
  // A record running past the report ends the walk.
  Bytes cut = DilutionRecord(5.0f, 5.0f, 5.0f);
  cut.pop_back();
  EXPECT_EQ(Decode(GsofReport(Concat({DilutionRecord(6.0f, 6.0f, 6.0f), cut}), 2)).Pdop, 6.0);
}

// Week and time of week to the calendar, then the flags table; held
// coordinates both above 1 degree make any flags a valid position (exactly
// 1.0 is not above).
TEST_F(GsofTest, CalendarAndFixQuality) {
  const std::tuple<uint16_t, uint32_t, std::array<int32_t, 6>> dates[] = {
      {1929, 525600000, {2016, 12, 31, 10, 0, 0}},
      {1929, 576000000, {2017, 1, 1, 0, 0, 0}},
      {1051, 172800000, {2000, 2, 29, 8, 0, 0}}};
  for (const auto& [week, ms, date] : dates) {
    const PositionFix f = Decode(GsofReport(PositionTimeRecord(week, ms, 0), 1));
    EXPECT_EQ((std::array{f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second}), date) << ms;
  }
  EXPECT_GT(GpsWeekToCalendar(65535, 0xFFFFFFFFu).Year, 3000);

  // Held latitude and longitude, flags, fix quality.
  const std::tuple<double, double, uint8_t, int32_t> qualities[] = {
      {0, 0, 0x01, 2},        {0, 0, 0x03, 3},         {0, 0, 0x05, 1},
      {0, 0, 0x06, 0},        {0, 0, 0xF1, 2},         {-33.9, 151.2, 0x07, 4},
      {31.2, 121.5, 0x07, 1}, {31.2, -121.5, 0x07, 4}, {1.0, 121.5, 0x00, 0}};
  for (const auto& [lat, lon, flags, quality] : qualities) {
    fix.Modify([lat = lat, lon = lon](PositionFix& held) {
      std::tie(held.Latitude, held.Longitude) = std::tuple(lat, lon);
    });
    EXPECT_EQ(Decode(GsofReport(PositionTimeRecord(1941, 0, flags), 1)).FixQuality, quality)
        << lat << " " << lon << " " << int{flags};
  }
}

// `count` entries of `system` numbered from 1, every second one used, with
// 45 and 30 dB-Hz.
Bytes Satellites(uint8_t count, uint8_t system) {
  Bytes entries;
  for (uint8_t k = 0; k < count; ++k)
    Append(entries,
           Satellite(k + 1, system, k % 2 ? 0x40 : 0x3F, 200 + k, 300 + k, 4 * 45 + 3, 4 * 30 + 1));
  return entries;
}

TEST_F(GsofTest, SatelliteDetail) {
  // GPS, GLONASS, BeiDou, systems 3 and 4 (not kept), SBAS (kept with GPS):
  // 30 satellites, a 303-byte record whose length byte says 45.
  const Bytes entries = Concat({Satellites(12, 0), Satellites(8, 2), Satellites(5, 5),
                                Satellites(2, 3), Satellites(1, 4), Satellites(2, 1)});
  const PositionFix f = Decode(GsofReport(
      Concat({Record(34, Concat({{30}, entries})), DilutionRecord(9.0f, 8.0f, 7.0f)}), 1));
  EXPECT_EQ(std::tuple(f.GpsInView, f.GloInView, f.BdsInView, f.SatsInView, f.Pdop, f.GpsSats[1],
                       f.GpsSats[12].Prn, f.GloSats[7].Prn, f.BdsSats[4].Prn),
            std::tuple(14, 8, 5, 27, 9.0, SatelliteInfo{2, 201, 301, 45, 30, 1}, 1, 8, 5));

  // The next record 34 empties the tables first; more than 20 of a system
  // are dropped, and the systems after them still count.
  const PositionFix next =
      Decode(GsofReport(Record(34, Concat({{30}, Satellites(25, 0), Satellites(5, 2)})), 2));
  EXPECT_EQ(std::tuple(next.GpsInView, next.GloInView, next.BdsInView, next.SatsInView,
                       next.GpsSats[19].Prn, next.GloSats[4].Prn, next.GloSats[5]),
            std::tuple(20, 5, 0, 25, 20, 5, SatelliteInfo{}));

  // Past 51 satellites adding 256 once to the length byte is not enough: the
  // count gives the length (1 + 10 x N), and the next record is still read.
  const Bytes many =
      Concat({Satellites(20, 0), Satellites(20, 2), Satellites(11, 5), Satellites(19, 3)});
  const PositionFix big = Decode(
      GsofReport(Concat({Record(34, Concat({{70}, many})), PositionRecord(0.5, 2.0, 70.0)}), 3));
  EXPECT_EQ(std::tuple(big.GpsInView, big.GloInView, big.BdsInView, big.Altitude),
            std::tuple(20, 20, 11, 70.0));
}

}  // namespace
}  // namespace corvane::testing
