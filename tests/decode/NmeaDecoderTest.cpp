#include "decode/NmeaDecoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "decode/GsofDecoder.h"
#include "fixtures/VirtualTime.h"
#include "tests/decode/DecodeTestSupport.h"

namespace corvane {
namespace {

using testing::Feed;
using testing::TracedLines;

constexpr std::string_view kGga =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

class NmeaTest : public ::testing::Test {
 protected:
  PositionFix Decode(std::string_view text, size_t chunk = 2048) {
    Feed(decoder, text, chunk);
    return fix.Snapshot();
  }
  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  NmeaDecoder decoder{fix, time};
};

TEST_F(NmeaTest, GgaPositionTimeAndHemispheres) {
  PositionFix north = Decode(kGga);
  EXPECT_EQ(north.Hour, 12);
  EXPECT_EQ(north.Minute, 35);
  EXPECT_EQ(north.Second, 19);
  EXPECT_NEAR(north.Latitude, 48.1173, 1e-12);
  EXPECT_NEAR(north.Longitude, 11.0 + 31.0 / 60.0, 1e-12);
  EXPECT_EQ(north.LatHemisphere, 'N');
  EXPECT_EQ(north.LonHemisphere, 'E');
  EXPECT_EQ(north.FixQuality, 1);
  EXPECT_DOUBLE_EQ(north.Altitude, 545.4);
  EXPECT_DOUBLE_EQ(north.GeoidSeparation, 46.9);

  PositionFix south =
      Decode("$GPGGA,123519,4807.038,S,01131.000,W,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
  EXPECT_NEAR(south.Latitude, -48.1173, 1e-12);
  EXPECT_NEAR(south.Longitude, -(11.0 + 31.0 / 60.0), 1e-12);
  EXPECT_EQ(south.LatHemisphere, 'S');
  EXPECT_EQ(south.LonHemisphere, 'W');

  // A receiver without a fix overwrites the position with zeros.
  PositionFix none = Decode("$GPGGA,123520,,,,,0,00,99.99,,,,,,*6F\r\n");
  EXPECT_EQ(none.FixQuality, 0);
  EXPECT_EQ(none.Latitude, 0.0);
  EXPECT_EQ(none.Longitude, 0.0);
  EXPECT_EQ(none.LatHemisphere, 0);
  EXPECT_EQ(none.Second, 20);
}

TEST_F(NmeaTest, AltitudeKeepsItsSignGeoidSeparationDoesNot) {
  PositionFix fix1 =
      Decode("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-12.5,M,-12.5,M,,*47\r\n");
  EXPECT_DOUBLE_EQ(fix1.Altitude, -12.5);
  EXPECT_EQ(fix1.GeoidSeparation, 0.0);
  // At most 15 characters of altitude text are read.
  PositionFix fix2 =
      Decode("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-1234567890.123456,M,1,M,,*47\r\n");
  EXPECT_DOUBLE_EQ(fix2.Altitude, -1234567890.123);
}

TEST_F(NmeaTest, GnTalkerGgaIsReadGnGsvIsNot) {
  Decode("$GPGSV,1,1,01,05,40,083,46*4A\r\n");
  PositionFix fix1 = Decode(
      "$GNGGA,010203,4807.038,N,01131.000,E,4,08,0.9,545.4,M,46.9,M,,*47\r\n"
      "$GNGSV,1,1,02,07,10,100,30,09,20,200,40*4A\r\n");
  EXPECT_EQ(fix1.Hour, 1);
  EXPECT_EQ(fix1.FixQuality, 4);
  EXPECT_EQ(fix1.GpsInView, 1);
  EXPECT_EQ(fix1.GpsSats[0].Prn, 5);
  EXPECT_EQ(fix1.GpsSats[1].Prn, 0);
}

TEST_F(NmeaTest, GsvMessagesFillTheirFourEntries) {
  PositionFix fix1 = Decode(
      "$GPGSV,3,2,09,10,11,012,13,14,15,016,17,18,19,020,21,22,23,024,25*70\r\n"
      "$GPGSV,3,3,09,26,27,028,29,30,31,032,33*70\r\n");
  for (int i : {0, 1, 2, 3, 9}) EXPECT_EQ(fix1.GpsSats[i].Prn, 0) << i;
  EXPECT_EQ(fix1.GpsSats[4].Prn, 10);
  EXPECT_EQ(fix1.GpsSats[4].Elevation, 11);
  EXPECT_EQ(fix1.GpsSats[4].Azimuth, 12);
  EXPECT_EQ(fix1.GpsSats[4].Snr, 13);
  EXPECT_EQ(fix1.GpsSats[7].Prn, 22);
  EXPECT_EQ(fix1.GpsSats[8].Prn, 26);
  EXPECT_EQ(fix1.GpsSats[8].Snr, 29);
  EXPECT_EQ(fix1.GpsSats[4].Used, 0);
  EXPECT_EQ(fix1.GpsInView, 9);
  EXPECT_EQ(fix1.SatsInView, 9);

  // GLONASS and BeiDou counts enter the total at the next GPS GSV; BeiDou
  // entries are marked used.
  PositionFix fix2 = Decode(
      "$GLGSV,1,1,02,65,10,100,30,66,20,200,40*4A\r\n"
      "$BDGSV,1,1,01,201,30,300,35*4A\r\n");
  EXPECT_EQ(fix2.GloInView, 2);
  EXPECT_EQ(fix2.GloSats[1].Prn, 66);
  EXPECT_EQ(fix2.BdsSats[0].Prn, 201);
  EXPECT_EQ(fix2.BdsSats[0].Used, 1);
  EXPECT_EQ(fix2.GloSats[0].Used, 0);
  EXPECT_EQ(fix2.SatsInView, 9);
  EXPECT_EQ(Decode("$GPGSV,3,1,09,01,02,003,04*70\r\n").SatsInView, 12);

  // Message numbers past the table or below 1 store nothing.
  const PositionFix before = fix.Snapshot();
  PositionFix fix3 = Decode(
      "$GPGSV,9,6,09,90,91,092,93,94,95,096,97*70\r\n"
      "$GPGSV,9,0,09,90,91,092,93*70\r\n"
      "$GPGSV,9,99999999999,99999999999,90,91,092,93*70\r\n");
  EXPECT_EQ(fix3.GpsSats, before.GpsSats);
}

TEST_F(NmeaTest, GsaRoutesByFirstSatellite) {
  Decode(
      "$GPGSV,1,1,03,05,40,083,46,09,20,100,30,12,30,200,40*4A\r\n"
      "$GLGSV,1,1,02,70,10,100,30,71,20,200,40*4A\r\n");
  PositionFix gps = Decode("$GPGSA,A,3,09,12,,,,,,,,,,,2.5,1.3,2.1*39\r\n");
  EXPECT_EQ(gps.GpsSats[0].Used, 0);
  EXPECT_EQ(gps.GpsSats[1].Used, 1);
  EXPECT_EQ(gps.GpsSats[2].Used, 1);
  EXPECT_DOUBLE_EQ(gps.Pdop, 2.5);
  EXPECT_DOUBLE_EQ(gps.Hdop, 1.3);
  EXPECT_DOUBLE_EQ(gps.Vdop, 2.1);

  // Empty first field: 0 counts as GPS, so the GPS flags are cleared.
  PositionFix empty = Decode("$GPGSA,A,3,,,,,,,,,,,,,3.5,1.5,2.5*39\r\n");
  EXPECT_EQ(empty.GpsSats[1].Used, 0);
  EXPECT_EQ(empty.GpsSats[2].Used, 0);
  EXPECT_DOUBLE_EQ(empty.Pdop, 3.5);

  PositionFix glonass = Decode("$GNGSA,A,3,70,,,,,,,,,,,,1.1,1.2,1.3*39\r\n");
  EXPECT_EQ(glonass.GloSats[0].Used, 1);
  EXPECT_EQ(glonass.GloSats[1].Used, 0);

  Decode("$GPGSA,A,3,05,,,,,,,,,,,,2.5,1.3,2.1*39\r\n");
  PositionFix other = Decode("$GNGSA,A,3,40,71,05,,,,,,,,,,4.1,4.2,4.3*39\r\n");
  EXPECT_EQ(other.GpsSats[0].Used, 1);
  EXPECT_EQ(other.GloSats[0].Used, 1);
  EXPECT_EQ(other.GloSats[1].Used, 0);
  EXPECT_DOUBLE_EQ(other.Vdop, 4.3);
}

TEST_F(NmeaTest, RmcDate) {
  PositionFix fix1 =
      Decode("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230317,003.1,W*6A\r\n");
  EXPECT_EQ(fix1.Day, 23);
  EXPECT_EQ(fix1.Month, 3);
  EXPECT_EQ(fix1.Year, 2017);
  EXPECT_EQ(fix1.Latitude, 0.0);
  PositionFix fix2 =
      Decode("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,050317,003.1,W*6A\r\n");
  EXPECT_EQ(fix2.Day, 5);
  EXPECT_EQ(fix2.Month, 3);
  EXPECT_EQ(fix2.Year, 2017);
}

TEST_F(NmeaTest, GstErrorEstimates) {
  PositionFix fix1 = Decode("$GPGST,172814.0,0.006,0.023,0.020,273.6,3.0,4.0,120.0*6A\r\n");
  EXPECT_DOUBLE_EQ(fix1.Hrms, 5.0);
  EXPECT_EQ(fix1.Vrms, 0.0);
  PositionFix fix2 = Decode("$GPGST,172814.0,0.006,0.023,0.020,273.6,99.0,14.2,99.99*6A\r\n");
  EXPECT_EQ(fix2.Hrms, 0.0);
  EXPECT_DOUBLE_EQ(fix2.Vrms, 99.99);
  PositionFix fix3 = Decode("$GPGST,172814.0,0.006,0.023,0.020,273.6,-3.0,4.0,-2.0*6A\r\n");
  EXPECT_DOUBLE_EQ(fix3.Hrms, 4.0);
  EXPECT_EQ(fix3.Vrms, 0.0);
}

TEST_F(NmeaTest, SentenceAcrossChunksAndCarryBounds) {
  const std::string_view head = "$GPGGA,123519,4807.0";
  decoder.Decode(reinterpret_cast<const uint8_t*>(head.data()), static_cast<int32_t>(head.size()));
  EXPECT_EQ(decoder.CarryLength(), static_cast<int32_t>(head.size()));
  EXPECT_EQ(fix.Snapshot().Hour, 0);
  PositionFix fix1 = Decode(kGga.substr(head.size()));
  EXPECT_NEAR(fix1.Latitude, 48.1173, 1e-12);
  EXPECT_EQ(decoder.CarryLength(), 0);

  // A line without a line feed keeps only its last 1024 bytes, so a sentence
  // after a long run of garbage still decodes.
  const std::string garbage(3000, 'x');
  Feed(decoder, garbage, 100);
  EXPECT_EQ(decoder.CarryLength(), NmeaDecoder::kCarrySize);
  PositionFix fix2 =
      Decode(std::string(700, 'y') + "$GPRMC,123519,A,,,,,,,110219,,*6A\r\n" + "$GPGGA,0", 7);
  EXPECT_EQ(fix2.Year, 2019);
  EXPECT_EQ(decoder.CarryLength(), 8);
  Decode("\n");
}

TEST_F(NmeaTest, OverlongInputStaysInBounds) {
  // A sentence longer than 1024 bytes is skipped; the one after it is read.
  const std::string longGsa = "$GPGSA,A,3," + std::string(1100, '1') + ",7.5,7.5,7.5*00\r\n";
  PositionFix fix1 = Decode(longGsa + "$GPRMC,1,A,,,,,,,010120,,*00\r\n");
  EXPECT_EQ(fix1.Pdop, 0.0);
  EXPECT_EQ(fix1.Year, 2020);

  // A long GGA is read from its first 256 bytes; a long number from its first
  // 63 characters.
  const std::string digits70 = "1" + std::string(69, '0');
  PositionFix fix2 = Decode("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M," + digits70 +
                            ",M," + std::string(300, '9') + "*47\r\n");
  EXPECT_DOUBLE_EQ(fix2.GeoidSeparation, 1e62);
  EXPECT_DOUBLE_EQ(fix2.Altitude, 545.4);
  PositionFix fix3 = Decode("$GPGGA,123519,4807.038,N,01131.000,E," + digits70 + ",*47\r\n");
  EXPECT_EQ(fix3.FixQuality, 2147483647);

  // Lines that lost their carriage returns still end at their line feed.
  PositionFix fix4 = Decode(
      "$GPGGA,101010,4807.038,N,01131.000,E,1,08,0.9,1.5,M,46.9,M,,*47\n"
      "$GPRMC,101010,A,,,,,,,311299,,*6A\n");
  EXPECT_EQ(fix4.Hour, 10);
  EXPECT_EQ(fix4.Year, 2099);
  EXPECT_DOUBLE_EQ(fix4.Altitude, 1.5);

  // Chunks longer than 2048 bytes are taken in pieces.
  std::string many;
  while (many.size() < 10000) many += kGga;
  EXPECT_EQ(Decode(many, many.size()).Second, 19);
  EXPECT_EQ(decoder.Decode(nullptr, 5), -1);
}

TEST(NmeaTraceTest, TraceLinesInOrder) {
  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  NmeaDecoder decoder(fix, time, testing::RecordTrace);
  TracedLines().clear();
  Feed(decoder,
       std::string(kGga) +
           "$GPGSV,1,1,01,05,40,083,46*4A\r\n$GLGSV,1,1,01,65,40,083,46*4A\r\n"
           "$BDGSV,1,1,01,65,40,083,46*4A\r\n$GNGSV,1,1,01,65,40,083,46*4A\r\n"
           "$GPGSA,A,3,05,,,,,,,,,,,,2.5,1.3,2.1*39\r\n$GNGSA,A,3,65,,,,,,,,,,,,2.5,1.3,2.1*39\r\n"
           "$GNGSA,A,3,40,,,,,,,,,,,,2.5,1.3,2.1*39\r\n"
           "$GPRMC,1,A,,,,,,,010120,,*00\r\n$GPGST,1,1,1,1,1,3.0,4.0,1.25*00\r\n$GPVTG,1*00\r\n");
  EXPECT_EQ(TracedLines(),
            (std::vector<std::string>{"GGA\n", "GSV\n", "Get GPGSV\n", "GSV\n", "Get GLGSV\n",
                                      "GSV\n", "Get BDGSV\n", "GSV\n", "GSA\n", "Get GPGSA\n",
                                      "GSA\n", "Get GLGSA\n", "GSA\n", "RMC\n", "GST\n",
                                      "VRMS = 1.250,HRMS = 5.000 \n"}));
}

TEST(NmeaConfigureTest, WritesEachLineTwiceWithPauses) {
  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  NmeaDecoder decoder(fix, time);
  testing::RecordingWriter writer;
  EXPECT_TRUE(decoder.ConfigureReceiver(writer));
  const std::vector<std::string> expected = {"unlogall\r\n",           "unlogall\r\n",
                                             "unlogall\r\n",           "unlogall\r\n",
                                             "log gpgga ontime 1\r\n", "log gpgga ontime 1\r\n",
                                             "log gprmc ontime 1\r\n", "log gprmc ontime 1\r\n"};
  ASSERT_EQ(writer.writes.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::string(writer.writes[i].begin(), writer.writes[i].end()), expected[i]) << i;
  }
  EXPECT_EQ(time.Sleeps(), std::vector<Millis>(8, Millis{200}));
  EXPECT_EQ(time.Now(), Millis{1600});
}

TEST(DecoderSelectionTest, BoardFourGetsGsofOthersNmeaAndTheRecordStays) {
  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  EXPECT_EQ(fix.Snapshot(), PositionFix{});
  for (int32_t board : {0, 1, 3, 5, -1}) {
    auto decoder = MakePositionDecoder(board, fix, time);
    EXPECT_NE(dynamic_cast<NmeaDecoder*>(decoder.get()), nullptr) << board;
  }
  auto nmea = MakePositionDecoder(0, fix, time);
  Feed(*nmea, kGga);
  nmea.reset();
  auto gsof = MakePositionDecoder(4, fix, time);
  EXPECT_NE(dynamic_cast<GsofDecoder*>(gsof.get()), nullptr);
  EXPECT_EQ(fix.FixQuality(), 1);
  EXPECT_NEAR(fix.Snapshot().Latitude, 48.1173, 1e-12);
}

// Readers on other threads see each sentence whole: a GGA's latitude and
// longitude always come from the same sentence.
TEST(SharedPositionFixTest, ReadersSeeWholeSentences) {
  testing::VirtualTimeSource time;
  SharedPositionFix fix;
  NmeaDecoder decoder(fix, time);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      const PositionFix snap = fix.Snapshot();
      const bool a = snap.Latitude == 0.0 && snap.Longitude == 0.0;
      const bool b = snap.Hour == 12 && snap.LatHemisphere == 'N' && snap.LonHemisphere == 'E';
      const bool c = snap.Hour == 1 && snap.LatHemisphere == 'S' && snap.LonHemisphere == 'W' &&
                     snap.Latitude < 0 && snap.Longitude < 0;
      if (!a && !b && !c) ++torn;
      (void)fix.FixQuality();
    }
  });
  for (int i = 0; i < 2000; ++i) {
    Feed(decoder, kGga);
    Feed(decoder, "$GPGGA,013519,4807.038,S,01131.000,W,2,08,0.9,545.4,M,46.9,M,,*47\r\n");
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace corvane
