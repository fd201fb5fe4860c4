// corvane-decode on real captures agrees with gpsd's independent decode of the
// same logs, and on a generated GSOF stream gives back what was encoded.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include "fixtures/TempDir.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"

namespace corvane::testing {
namespace {

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

// corvane-decode with `arguments`, its output kept in `folder`.
RunResult RunTool(const std::string& arguments, const std::filesystem::path& folder) {
  const std::string out = (folder / "out.txt").string();
  const std::string err = (folder / "err.txt").string();
  const std::string command =
      std::string(CORVANE_BIN_DIR) + "/corvane-decode " + arguments + " >" + out + " 2>" + err;
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFileBytes(out), ReadFileBytes(err)};
}

// The number after "name": in the tool's JSON line.
double JsonNumber(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\":");
  if (at == std::string::npos) return -999999.0;
  return std::strtod(json.c_str() + at + name.size() + 3, nullptr);
}

// Position of each capture's last GGA as gpsd's .chk file records it (the
// TPV with that GGA's time): gpsd status 2 (DGPS) is fix quality 2, status
// 3 (RTK fixed) is 4, mode 1 (no fix) is 0, any other fix 1. isync.log is
// left out: its .chk ends one cycle before the last GGA (13:15:30).
// File, latitude, longitude, altitude, fix quality.
constexpr std::tuple<const char*, double, double, double, int> kGpsdPositions[] = {
    {"beidou-gb.log", 31.248035, 121.58738, 167.2, 1},      // 2015-03-02T05:32:33.438Z
    {"bu353-glonass.log", 0.0, 0.0, 0.0, 0},                // 2014-05-26T08:14:29.000Z, mode 1
    {"gr8013-w.log", 52.514809667, 13.464263667, 62.2, 1},  // 2015-06-19T18:11:43.000Z
    {"hemi.log", 42.36372587, -71.032396678, 6.914, 1},     // 2018-09-07T19:41:00.000Z
    {"nmea-fuzzy-cases.log", 41.575030049, -93.75059781, 280.833, 4},  // 2020-03-18T13:39:00.900Z
    {"nmea-rtk.log", 41.575030061, -93.750597789, 280.829, 4},         // 2020-03-18T13:39:01.500Z
    {"quectelLC79D.log", 50.040954933, 19.980476733, 245.0, 1},        // 2020-11-30T11:51:02.000Z
    {"telit-pls83-w.log", 43.553168783, 1.460306367, 250.7, 1},        // 2025-09-04T04:35:48.000Z
    {"ublox-lea-5q.log", 0.0, 0.0, 0.0, 0},  // 2011-02-02T00:19:09.000Z, mode 1
    {"ublox-neo-m9n-nmea.log", 38.110501, -122.626923, 81.8, 2},      // 2020-07-11T22:38:45.000Z
    {"ublox-zed-f9p-nmea.log", -45.8775655, 170.500111667, 14.8, 1},  // 2019-04-12T00:40:24.000Z
};

TEST(DecodeToolTest, NmeaCapturesMatchGpsd) {
  TempDir dir;
  for (const auto& [file, latitude, longitude, altitude, fixQuality] : kGpsdPositions) {
    SCOPED_TRACE(file);
    const std::string capture = (dir.path() / file).string();
    std::ofstream(capture) << ReadCapture(std::string("tests/data/nmea/") + file);
    // Chunk invariance is the decoder tests' job; one odd size shows --chunk is used.
    const RunResult run = RunTool("--format nmea --chunk 333 " + capture, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
    EXPECT_NEAR(JsonNumber(run.out, "Latitude"), latitude, 1e-8);
    EXPECT_NEAR(JsonNumber(run.out, "Longitude"), longitude, 1e-8);
    EXPECT_NEAR(JsonNumber(run.out, "Altitude"), altitude, 1e-6);
    EXPECT_EQ(JsonNumber(run.out, "FixQuality"), fixQuality);
  }
}

TEST(DecodeToolTest, GsofStreamGivesTheEncodedValues) {
  TempDir dir;
  const Bytes stream =
      Concat({GsofStream(20, 5),
              GsofReport(Concat({PositionRecord(-0.5, 0.25, -12.5),
                                 PositionTimeRecord(1941, 123456789, 0x03),
                                 DilutionRecord(2.5f, 1.5f, 2.0f), SigmaRecord(3.0f, 4.0f, 0.5f)}),
                         99)});
  const std::string capture = (dir.path() / "stream.gsof").string();
  std::ofstream(capture, std::ios::binary) << std::string(stream.begin(), stream.end());
  const RunResult run = RunTool("--chunk 5 --format gsof " + capture, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  // The decoder tests pin each field; here the values must come through the tool.
  const std::pair<const char*, double> fields[] = {{"Latitude", -0.5 * 57.295780490442965},
                                                   {"Longitude", 0.25 * 57.295780490442965},
                                                   {"Altitude", -12.5},
                                                   {"FixQuality", 3},
                                                   {"Day", 20},
                                                   {"Hrms", 5.0}};
  for (const auto& [name, value] : fields) EXPECT_EQ(JsonNumber(run.out, name), value) << name;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '{'), 1 + 3 * 20);

  // --each prints a line per changing chunk; the last is the final record.
  const RunResult each = RunTool("--format gsof --each --chunk 64 " + capture, dir.path());
  ASSERT_EQ(each.status, 0);
  const auto lines = std::count(each.out.begin(), each.out.end(), '\n');
  EXPECT_GE(lines, 20);
  EXPECT_LE(static_cast<size_t>(lines), stream.size() / 64 + 1);
  EXPECT_EQ(each.out.substr(each.out.rfind('\n', each.out.size() - 2) + 1), run.out);
}

TEST(DecodeToolTest, BadArgumentsAndUnreadableFilesExitTwo) {
  TempDir dir;
  const std::string file = (dir.path() / "empty.log").string();
  std::ofstream{file};
  for (const std::string& arguments : std::vector<std::string>{
           "", "--format nmea", "--format sirf " + file, file, "--format nmea --chunk 0 " + file,
           "--format nmea --chunk 2049 " + file, "--format nmea --chunk 12x " + file,
           "--format gsof --chunk", "--format nmea --bogus " + file,
           "--format nmea " + file + " " + file, "--format nmea " + file + ".missing",
           "--format nmea " + dir.path().string()}) {
    const RunResult run = RunTool(arguments, dir.path());
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_EQ(run.out, "") << arguments;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << arguments << ": " << run.err;
    EXPECT_EQ(run.err.rfind("corvane-decode: ", 0), 0u) << run.err;
  }
  const RunResult empty = RunTool("--format nmea --chunk 2048 " + file, dir.path());
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(JsonNumber(empty.out, "FixQuality"), 0);
}

}  // namespace
}  // namespace corvane::testing
