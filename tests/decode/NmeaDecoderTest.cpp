#include "decode/NmeaDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "decode/GsofDecoder.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tools/decode/PositionJson.h"

namespace corvane::testing {
namespace {

// The record after a GGA at 12:35:19 at 4807.038 N 01131.000 E, or one at
// 01:35:19 in S and W.
PositionFix Gga(bool south = false, double altitude = 545.4, double geoid = 46.9) {
  const double sign = south ? -1.0 : 1.0;
  // clang-format off
  return {.Hour = south ? 1 : 12, .Minute = 35, .Second = 19, .FixQuality = 1,
          .Latitude = sign * 48.1173, .Longitude = sign * (11 + 31.0 / 60),
          .LatHemisphere = south ? 'S' : 'N', .LonHemisphere = south ? 'W' : 'E',
          .Altitude = altitude, .GeoidSeparation = geoid};
  // clang-format on
}

// The record equals `expected`, a latitude or longitude other than 0 within
// 1e-12 degrees; compared as the tool's JSON line, so a failure names the field.
void ExpectFix(PositionFix actual, const PositionFix& expected) {
  for (double PositionFix::*degrees : {&PositionFix::Latitude, &PositionFix::Longitude}) {
    if (expected.*degrees == 0.0) continue;
    EXPECT_NEAR(actual.*degrees, expected.*degrees, 1e-12);
    actual.*degrees = expected.*degrees;
  }
  EXPECT_EQ(PositionFixToJson(actual), PositionFixToJson(expected));
}

class NmeaTest : public ::testing::Test, public DecoderRig<NmeaDecoder> {};

// Each row goes through a fresh decoder in chunks of `chunk` bytes; the whole
// record is compared, so a sentence that writes a field it should not is
// caught too.
TEST(NmeaSentenceTest, EachSentenceWritesItsFields) {
  const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
  const std::string gst = "$GPGST,172814.0,0.006,0.023,0.020,273.6,";
  const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,";
  const struct {
    std::string input;
    PositionFix expected;
    size_t chunk = 2048;
  } rows[] = {
      {gga, Gga()},
      // A receiver without a fix overwrites the position with zeros.
      {gga + "$GPGGA,123520,,,,,0,00,99.99,,,,,,*4F\r\n", {.Hour = 12, .Minute = 35, .Second = 20}},
      // The altitude keeps its sign, the geoid separation does not.
      {"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,-12.5,M,-12.5,M,,*7C\r\n",
       Gga(false, -12.5, 0.0)},
      {rmc + "230317,003.1,W\r\n", {.Year = 2017, .Month = 3, .Day = 23}},
      {gst + "3.0,4.0,120.0\r\n", {.Hrms = 5.0}},
      {gst + "-3.0,4.0,-2.0\r\n", {.Hrms = 4.0}},
      // The total counts the GPS satellites of this very sentence.
      {"$GPGSV,1,1,01,07,10,100,30\r\n",
       {.GpsSats = {{{7, 10, 100, 30}}}, .SatsInView = 1, .GpsInView = 1}},
      // A sentence longer than 1024 bytes is skipped; the one after it is read.
      {"$GPGSA,A,3," + std::string(1100, '1') + ",7.5,7.5,7.5\r\n" + rmc + "010120,,\r\n",
       {.Year = 2020, .Month = 1, .Day = 1}},
      // A sentence whose checksum does not match is dropped: here one byte
      // was lost ("480.038"), a checksum that is no number. Hex digits of
      // either case match; a sentence inside a dropped one is still read.
      {gga + "$GPGGA,123519,480.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n", Gga()},
      {gga + "$GPGGA,123519,480.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*7G\r\n", Gga()},
      {"$GPGGA,013519,4807.038,S,01131.000,W,1,08,0.9,545.4,M,46.9,M,,*4a\r\n", Gga(true)},
      {"$GPGGA,123519,480$GPRMC,123519,A,,,,,,,230317,,*2F\r\n",
       {.Year = 2017, .Month = 3, .Day = 23}},
      // A piece without a line feed keeps its last 1024 bytes, in one chunk
      // (where the GGA begins) or in many.
      {std::string(2000, '\xB5') + gga, Gga()},
      {std::string(3000, 'y') + "$GPRMC,123519,A,,,,,,,110219,,*21\r\n",
       {.Year = 2019, .Month = 2, .Day = 11},
       7},
      // Lines that lost their carriage returns still end at their line feed.
      {"\n$GPRMC,101010,A,,,,,,,311299,,*26\n", {.Year = 2099, .Month = 12, .Day = 31}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input.substr(0, 80));
    ExpectFix(DecoderRig<NmeaDecoder>().Decode(row.input, row.chunk), row.expected);
  }
}

// One field of the first `count` entries of a table.
std::vector<int> Column(const SatelliteTable& table, auto SatelliteInfo::*field, size_t count) {
  std::vector<int> column;
  for (size_t i = 0; i < count; ++i) column.push_back(table[i].*field);
  return column;
}

// GSV messages fill their four entries each; GLONASS and BeiDou counts enter
// the total at the next GPS GSV. A GSA routes its used flags by its first
// satellite (empty: 0, so GPS); one naming neither system changes no flag.
TEST_F(NmeaTest, SatelliteSentences) {
  // Messages 2 and 3 of 3 fill entries 4 to 8; a GN talker GSV is not read.
  const PositionFix f = Decode(
      "$GPGSV,3,2,09,10,11,012,13,14,15,016,17,18,19,020,21,22,23,024,25*71\r\n"
      "$GPGSV,3,3,09,26,27,028,29,30,31,032,33*70\r\n"
      "$GNGSV,1,1,02,07,10,100,30,09,20,200,40*6C\r\n"
      "$GLGSV,1,1,02,70,10,100,30,71,20,200,40*61\r\n$BDGSV,1,1,01,201,30,300,35*6C\r\n");
  EXPECT_EQ(Column(f.GpsSats, &SatelliteInfo::Prn, 10),
            (std::vector{0, 0, 0, 0, 10, 14, 18, 22, 26, 0}));
  EXPECT_EQ(std::tuple(f.GpsSats[8], f.GloSats[1], f.BdsSats[0], f.GpsInView, f.GloInView,
                       f.BdsInView, f.SatsInView),
            std::tuple(SatelliteInfo{26, 27, 28, 29}, SatelliteInfo{71, 20, 200, 40},
                       SatelliteInfo{201, 30, 300, 35, 0, 1}, 9, 2, 1, 9));
  EXPECT_EQ(Decode("$GPGSV,3,1,09,01,02,003,04,05,40,083,46,09,20,100,30*47\r\n").SatsInView, 12);

  const PositionFix used = Decode(
      "$GPGSA,A,3,09,05,,,,,,,,,,,2.5,1.3,2.1*38\r\n$GNGSA,A,3,70,,,,,,,,,,,,1.1,1.2,1.3*2A\r\n"
      "$GNGSA,A,3,40,71,05,,,,,,,,,,4.1,4.2,4.3*2F\r\n");
  EXPECT_EQ(std::tuple(Column(used.GpsSats, &SatelliteInfo::Used, 3),
                       Column(used.GloSats, &SatelliteInfo::Used, 2), used.Pdop, used.Vdop),
            std::tuple(std::vector{0, 1, 1}, std::vector{1, 0}, 4.1, 4.3));
  const PositionFix none = Decode("$GPGSA,A,3,,,,,,,,,,,,,3.5,1.5,2.5*37\r\n");
  EXPECT_EQ(Column(none.GpsSats, &SatelliteInfo::Used, 3), (std::vector{0, 0, 0}));
  // Message numbers past the table or below 1 store nothing.
  EXPECT_EQ(Decode("$GPGSV,9,6,09,90,91,092,93,94,95,096,97*7F\r\n$GPGSV,9,0,09,90,91,092,93*49\r\n"
                   "$GPGSV,9,99999999999,99999999999,90,91,092,93*70\r\n")
                .GpsSats,
            none.GpsSats);
}

// Position of each gpsd capture's last GGA as gpsd's .chk file records it
// (the TPV with that GGA's time): gpsd status 2 (DGPS) is fix quality 2,
// status 3 (RTK fixed) is 4, mode 1 (no fix) is 0, any other fix 1. isync.log
// is left out: its .chk ends one cycle before the last GGA (13:15:30).
// File, latitude, longitude, altitude, fix quality.
const std::map<std::string, std::tuple<double, double, double, int>> kGpsdPositions = {
    {"beidou-gb.log", {31.248035, 121.58738, 167.2, 1}},   // 2015-03-02T05:32:33.438Z
    {"bu353-glonass.log", {0.0, 0.0, 0.0, 0}},             // 2014-05-26T08:14:29.000Z, mode 1
    {"hemi.log", {42.36372587, -71.032396678, 6.914, 1}},  // 2018-09-07T19:41:00.000Z
    {"nmea-rtk.log", {41.575030061, -93.750597789, 280.829, 4}},        // 2020-03-18T13:39:01.500Z
    {"ublox-neo-m9n-nmea.log", {38.110501, -122.626923, 81.8, 2}},      // 2020-07-11T22:38:45.000Z
    {"ublox-zed-f9p-nmea.log", {-45.8775655, 170.500111667, 14.8, 1}},  // 2019-04-12T00:40:24.000Z
};

// Every capture decodes to the same record whatever the chunk size (every
// size up to 63, then every 31st up to 2047: short enough for the sanitizer
// builds); those gpsd decoded give its position, with no sentence rejected.
TEST(NmeaCaptureTest, CapturesDecodeAlikeInEveryChunkingAndAsGpsdDecodedThem) {
  size_t gpsdFiles = 0;
  for (const char* folder : {"nmea", "mixed"}) {
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(CORVANE_SOURCE_DIR) / "tests/data" / folder)) {
      SCOPED_TRACE(entry.path());
      const std::string capture = WithoutCommentLines(ReadFileBytes(entry.path()));
      ASSERT_FALSE(capture.empty());
      DecoderRig<NmeaDecoder> rig;
      const PositionFix f = rig.Decode(capture);
      for (size_t chunk = 1; chunk <= 2047; chunk += chunk < 63 ? 1 : 31)
        ASSERT_TRUE(DecoderRig<NmeaDecoder>().Decode(capture, chunk) == f) << chunk;
      const auto gpsd = kGpsdPositions.find(entry.path().filename());
      if (gpsd == kGpsdPositions.end()) continue;
      ++gpsdFiles;
      const auto [latitude, longitude, altitude, fixQuality] = gpsd->second;
      EXPECT_NEAR(std::abs(f.Latitude - latitude) + std::abs(f.Longitude - longitude), 0, 2e-8);
      EXPECT_EQ(std::tuple(std::round(f.Altitude * 1000), f.FixQuality,
                           rig.decoder.Counts().BadChecksum + rig.decoder.Counts().BadLength),
                std::tuple(std::round(altitude * 1000), fixQuality, 0));
    }
  }
  EXPECT_EQ(gpsdFiles, kGpsdPositions.size());
}

// Receiver type 4 gets the GSOF decoder, any other the NMEA one; each writes
// its receiver's commands with its pauses.
TEST(DecoderSelectionTest, EachDecoderConfiguresItsReceiver) {
  VirtualTimeSource time;
  SharedPositionFix fix;
  RecordingWriter writer;
  for (int32_t board : {0, 3, 5, -1})
    EXPECT_NE(dynamic_cast<NmeaDecoder*>(MakePositionDecoder(board, fix, time).get()), nullptr);
  EXPECT_TRUE(MakePositionDecoder(0, fix, time)->ConfigureReceiver(writer));
  const auto gsof = MakePositionDecoder(4, fix, time);
  EXPECT_TRUE(dynamic_cast<GsofDecoder*>(gsof.get()) && gsof->ConfigureReceiver(writer));

  const uint8_t gsofCommands[3][25] = {
      {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
       0x07, 0x08, 0x0a, 0x00, 0x05, 0x00, 0x22, 0x00, 0x00, 0x00, 0xb9, 0x03},
      {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
       0x07, 0x08, 0x0a, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0x98, 0x03},
      {0x17, 0x00, 0x02, 0x00, 0x64, 0x11, 0x03, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00,
       0x07, 0x08, 0x0a, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x99, 0x03}};
  std::vector<std::string> commands(4, "unlogall\r\n");
  commands.insert(commands.end(), 2, "log gpgga ontime 1\r\n");
  commands.insert(commands.end(), 2, "log gprmc ontime 1\r\n");
  for (const auto& block : gsofCommands) commands.emplace_back(std::begin(block), std::end(block));
  EXPECT_EQ(writer.writes, commands);
  std::vector<Millis> pauses(8, Millis{200});
  pauses.insert(pauses.end(), 3, Millis{50});
  EXPECT_EQ(time.Sleeps(), pauses);
}

}  // namespace
}  // namespace corvane::testing
