#include "decode/NmeaDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "tests/decode/DecodeTestSupport.h"
#include "tools/decode/PositionJson.h"

namespace corvane::testing {
namespace {

// The record after a GGA at 12:35:19 at 4807.500 N 01131.250 E: minutes
// whose degrees come out alike in the decoder's arithmetic and in this.
PositionFix Gga(double altitude = 545.4, double geoid = 46.9) {
  // clang-format off
  return {.Hour = 12, .Minute = 35, .Second = 19, .FixQuality = 1,
          .Latitude = 48.125, .Longitude = 11 + 31.25 / 60, .LatHemisphere = 'N',
          .LonHemisphere = 'E', .Altitude = altitude, .GeoidSeparation = geoid};
  // clang-format on
}

class NmeaTest : public ::testing::Test, public DecoderRig<NmeaDecoder> {};

// Each row goes through a fresh decoder in chunks of `chunk` bytes; the whole
// record is compared, so a sentence that writes a field it should not is
// caught too, as the tool's JSON line, so a failure names the field.
TEST(NmeaSentenceTest, EachSentenceWritesItsFields) {
  const std::string gga = "$GPGGA,123519,4807.500,N,01131.250,E,1,08,0.9,545.4,M,46.9,M,,*4E\r\n";
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
      {"$GPGGA,123519,4807.500,N,01131.250,E,1,08,0.9,-12.5,M,-12.5,M,,*75\r\n", Gga(-12.5, 0.0)},
      {rmc + "230317,003.1,W\r\n", {.Year = 2017, .Month = 3, .Day = 23}},
      {"$GPGST,172814.0,0.006,0.023,0.020,273.6,3.0,4.0,120.0\r\n", {.Hrms = 5.0}},
      // The total counts the GPS satellites of this very sentence.
      {"$GPGSV,1,1,01,07,10,100,30\r\n",
       {.GpsSats = {{{7, 10, 100, 30}}}, .SatsInView = 1, .GpsInView = 1}},
      // A sentence longer than 1024 bytes is skipped; the one after it is read.
      {"$GPGSA,A,3," + std::string(1100, '1') + ",7.5,7.5,7.5\r\n" + rmc + "010120,,\r\n",
       {.Year = 2020, .Month = 1, .Day = 1}},
      // A sentence whose checksum does not match is dropped: here one byte
      // was lost ("407.500"). Hex digits of either case match; a sentence
      // inside a dropped one is still read.
      {gga + "$GPGGA,123519,407.500,N,01131.250,E,1,08,0.9,545.4,M,46.9,M,,*4E\r\n", Gga()},
      {"$GPGGA,123519,4807.500,N,01131.250,E,1,08,0.9,545.4,M,46.9,M,,*4e\r\n", Gga()},
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
    EXPECT_EQ(PositionFixToJson(DecoderRig<NmeaDecoder>().Decode(row.input, row.chunk)),
              PositionFixToJson(row.expected));
  }
}

// GSV messages fill their four entries each; GLONASS and BeiDou counts enter
// the total at the next GPS GSV.
TEST_F(NmeaTest, SatelliteSentences) {
  // Messages 2 and 3 of 3 fill entries 4 to 8; a GN talker GSV is not read.
  const PositionFix f = Decode(
      "$GPGSV,3,2,09,10,11,012,13,14,15,016,17,18,19,020,21,22,23,024,25*71\r\n"
      "$GPGSV,3,3,09,26,27,028,29,30,31,032,33*70\r\n"
      "$GNGSV,1,1,02,07,10,100,30,09,20,200,40*6C\r\n"
      "$GLGSV,1,1,02,70,10,100,30,71,20,200,40*61\r\n$BDGSV,1,1,01,201,30,300,35*6C\r\n");
  EXPECT_EQ(
      std::tuple(f.GpsSats[3], f.GpsSats[4].Prn, f.GpsSats[7].Prn, f.GpsSats[8], f.GpsSats[9]),
      std::tuple(SatelliteInfo{}, 10, 22, SatelliteInfo{26, 27, 28, 29}, SatelliteInfo{}));
  EXPECT_EQ(
      std::tuple(f.GloSats[1], f.BdsSats[0], f.GpsInView, f.GloInView, f.BdsInView, f.SatsInView),
      std::tuple(SatelliteInfo{71, 20, 200, 40}, SatelliteInfo{201, 30, 300, 35, 0, 1}, 9, 2, 1,
                 9));
  const PositionFix all = Decode("$GPGSV,3,1,09,01,02,003,04,05,40,083,46,09,20,100,30*47\r\n");
  EXPECT_EQ(all.SatsInView, 12);
  // Message numbers past the table or below 1 store nothing.
  EXPECT_EQ(Decode("$GPGSV,9,6,09,90,91,092,93,94,95,096,97*7F\r\n$GPGSV,9,0,09,90,91,092,93*49\r\n"
                   "$GPGSV,9,99999999999,99999999999,90,91,092,93*70\r\n")
                .GpsSats,
            all.GpsSats);
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
  EXPECT_TRUE(MakePositionDecoder(5, fix, time)->ConfigureReceiver(writer));
  EXPECT_TRUE(MakePositionDecoder(4, fix, time)->ConfigureReceiver(writer));

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
