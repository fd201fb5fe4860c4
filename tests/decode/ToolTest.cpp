// corvane-decode on real captures agrees with gpsd's independent decode of the
// same logs (NMEA positions, RTCM 3 message types and station), on a
// generated GSOF stream gives back what was encoded, and reads a stream in
// bounded memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "fixtures/TempDir.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"
#include "tools/decode/PositionJson.h"

namespace corvane::testing {
namespace {

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

const std::string kTool = CORVANE_BIN_DIR "/corvane-decode";

// A shell command line, its exit status and the largest memory (kB) it or any
// program it started held.
std::pair<int, long> RunShell(const std::string& command) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

// corvane-decode with `arguments` (which may redirect its output again), fed
// by `input` (a shell pipeline's head), its output kept in `folder`.
RunResult RunTool(const std::string& arguments, const std::filesystem::path& folder,
                  const std::string& input = "") {
  const std::string out = (folder / "out.txt").string();
  const std::string err = (folder / "err.txt").string();
  const int status = RunShell(input + kTool + " >" + out + " 2>" + err + " " + arguments).first;
  return {status, ReadFileBytes(out), ReadFileBytes(err)};
}

// The summary line of a run whose every sentence or packet was accepted.
std::string CleanSummary(size_t bytes, uint64_t accepted, const char* units) {
  return "corvane-decode: " + std::to_string(bytes) + " bytes read, " + std::to_string(accepted) +
         " " + units + " accepted, 0 rejected (checksum 0, length 0)\n";
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
    EXPECT_TRUE(run.err.starts_with(
        "corvane-decode: " + std::to_string(std::filesystem::file_size(capture)) + " bytes read, "))
        << run.err;
    EXPECT_TRUE(run.err.ends_with(" sentences accepted, 0 rejected (checksum 0, length 0)\n"));
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
  // 20 generated reports, 7 of them of three pages, then the last one.
  EXPECT_EQ(run.err, CleanSummary(stream.size(), 7 * 3 + 13 + 1, "packets"));
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
  const RunResult each =
      RunTool("--format=gsof --each --chunk=64 -", dir.path(), "cat " + capture + " |");
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
           "--format nmea --chunk 2049 " + file, "--format=nmea --chunk=12x " + file,
           "--format gsof --chunk", "--format nmea --bogus " + file,
           "--format nmea " + file + " " + file, "--format nmea " + file + ".missing",
           "--format nmea " + dir.path().string()}) {
    const RunResult run = RunTool(arguments, dir.path());
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_EQ(run.out, "") << arguments;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << arguments << ": " << run.err;
    EXPECT_EQ(run.err.rfind("corvane-decode: ", 0), 0u) << run.err;
  }
}

// Nothing decoded is exit status 1, with the record and the summary printed;
// so is output that cannot be written, said on stderr.
TEST(DecodeToolTest, NothingDecodedOrNoOutputExitsOne) {
  TempDir dir;
  const std::string empty = (dir.path() / "empty.log").string();
  std::ofstream{empty};
  const std::string damaged = (dir.path() / "damaged.log").string();
  std::ofstream(damaged) << "$GPGGA,123519,480.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
                         << "$GPGSA,A,3," << std::string(1100, '1') << "\r\n";
  const RunResult nothing = RunTool("--format nmea " + empty, dir.path());
  EXPECT_EQ(nothing.status, 1);
  EXPECT_EQ(JsonNumber(nothing.out, "FixQuality"), 0);
  EXPECT_EQ(nothing.err, CleanSummary(0, 0, "sentences"));
  const RunResult rejected = RunTool("--format nmea " + damaged, dir.path());
  EXPECT_EQ(rejected.status, 1);
  EXPECT_EQ(rejected.err,
            "corvane-decode: 1179 bytes read, 0 sentences accepted, 2 rejected (checksum 1, "
            "length 1)\n");

  const RunResult full = RunTool(
      "--format nmea " CORVANE_SOURCE_DIR "/tests/data/nmea/gr8013-w.log >/dev/full", dir.path());
  EXPECT_EQ(full.status, 1);
  EXPECT_TRUE(full.err.starts_with(
      "corvane-decode: cannot write to standard output: No space left on device\n"))
      << full.err;
}

// A stream of 100 MB on standard input, which the tool once held whole.
TEST(DecodeToolTest, ReadsAStreamInBoundedMemory) {
  TempDir dir;
  const std::string err = (dir.path() / "err.txt").string();
  const auto [status, peakKilobytes] =
      RunShell("head -c 100000000 /dev/zero | " + kTool + " --format gsof - >/dev/null 2>" + err);
  EXPECT_EQ(status, 1);
  EXPECT_LT(peakKilobytes, 64 * 1024);
  EXPECT_EQ(ReadFileBytes(err), CleanSummary(100000000, 0, "packets"));
}

// --each once built the JSON line after every chunk: 4.7 s per MB in chunks
// of one byte. Now a stream that never changes the record costs about what
// it costs without --each (measured in the same build, so sanitizers slow
// both alike).
TEST(DecodeToolTest, EachBuildsALineOnlyForAChangedRecord) {
  TempDir dir;
  const auto seconds = [&](const std::string& each) {
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = RunTool("--format nmea --chunk 1 " + each + " -", dir.path(),
                                  "head -c 1000000 /dev/zero |");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, each.empty() ? PositionFixToJson({}) + "\n" : "");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const double plain = seconds("");
  EXPECT_LT(seconds("--each"), 3 * plain + 0.5) << "without --each: " << plain << " s";
}

// Every RTCM 3 capture: the tool's inventory counts the message types gpsd's
// gpsdecode prints, frame for frame, and reads the station as it does.
TEST(DecodeToolTest, Rtcm3InventoryAgreesWithGpsdecode) {
  ASSERT_TRUE(std::filesystem::exists("/usr/bin/gpsdecode")) << "install the gpsd-clients package";
  TempDir dir;
  int captures = 0;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(CORVANE_SOURCE_DIR) / "tests/data/rtcm3")) {
    SCOPED_TRACE(entry.path());
    ++captures;
    const RunResult run = RunTool("--format rtcm3 " + entry.path().string(), dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    const auto inventory = nlohmann::json::parse(run.out);

    const std::string decoded = (dir.path() / "gpsdecode.txt").string();
    ASSERT_EQ(RunShell("/usr/bin/gpsdecode <" + entry.path().string() + " >" + decoded).first, 0);
    std::map<uint32_t, uint64_t> types;
    nlohmann::json station;
    std::istringstream lines(ReadFileBytes(decoded));
    for (std::string line; std::getline(lines, line);) {
      const auto message = nlohmann::json::parse(line);
      if (message["class"] != "RTCM3") continue;
      ++types[message["type"]];
      if (message["type"] == 1005 || message["type"] == 1006) station = message;
    }
    std::map<uint32_t, uint64_t> counted;
    for (const auto& message : inventory["Messages"]) counted[message["Type"]] = message["Count"];
    EXPECT_EQ(counted, types);
    EXPECT_EQ(inventory["BadCrc"], 0);
    ASSERT_FALSE(station.is_null());
    for (const char* axis : {"x", "y", "z"}) {
      EXPECT_NEAR(inventory["Station"][std::string(1, std::toupper(*axis))], station[axis], 1e-9);
    }
    EXPECT_TRUE(run.err.starts_with(
        "corvane-decode: " + std::to_string(std::filesystem::file_size(entry.path())) +
        " bytes read, " + std::to_string(inventory["Frames"].get<int>()) +
        " frames accepted, 0 rejected (checksum 0, length 0), "))
        << run.err;
  }
  EXPECT_GE(captures, 1);
}

}  // namespace
}  // namespace corvane::testing
