// corvane-decode as a program: its exit status and summary line for each kind
// of input and argument, the values of a generated GSOF stream coming through
// in any chunking, a long stream read in bounded memory and time, and the
// RTCM 3 inventory against an independent decoder.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "fixtures/Process.h"
#include "fixtures/TempDir.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"
#include "tools/decode/PositionJson.h"

namespace corvane::testing {
namespace {

struct ToolRun {
  int status;
  std::string out, err;
};

// corvane-decode with `arguments` (which may redirect its output again), fed
// by `input` (a shell pipeline's head), its output kept in `folder`.
ToolRun RunTool(const std::string& arguments, const std::filesystem::path& folder,
                const std::string& input = "") {
  const std::string out = (folder / "out.txt").string(), err = (folder / "err.txt").string();
  ChildProcess tool(
      {"/bin/sh", "-c",
       input + CORVANE_BIN_DIR "/corvane-decode >" + out + " 2>" + err + " " + arguments});
  const int status = tool.Wait(60s);
  return {status, ReadFileBytes(out), ReadFileBytes(err)};
}

std::string Summary(size_t bytes, const std::string& tally) {
  return "corvane-decode: " + std::to_string(bytes) + " bytes read, " + tally + "\n";
}

// The number after "name": in the tool's JSON line.
double JsonNumber(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\":");
  return at == std::string::npos ? -999999.0 : std::strtod(&json[at + name.size() + 3], nullptr);
}

TEST(DecodeToolTest, ExitStatusAndSummaryForEachInput) {
  TempDir dir;
  const std::string empty = (dir.path() / "empty.log").string();
  std::ofstream{empty};
  const std::string damaged = (dir.path() / "damaged.log").string();
  std::ofstream(damaged) << "$GPGGA,123519,480.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
                         << "$GPGSA,A,3," << std::string(1100, '1') << "\r\n";
  const std::string data = CORVANE_SOURCE_DIR "/tests/data/";
  // Arguments, exit status, the start of standard error.
  const std::tuple<std::string, int, std::string> rows[] = {
      {"--format nmea " + empty, 1,
       Summary(0, "0 sentences accepted, 0 rejected (checksum 0, length 0)")},
      {"--format nmea " + damaged, 1,
       Summary(1179, "0 sentences accepted, 2 rejected (checksum 1, length 1)")},
      {"--format nmea " + data + "nmea/gr8013-w.log >/dev/full", 1,
       "corvane-decode: cannot write to standard output: No space left on device\n"},
      {"--format rtcm3 " + data + "rtcm3/testglo.rtcm3", 0,
       Summary(57931, "429 frames accepted, 0 rejected (checksum 0, length 0), 58 bytes skipped")},
      {"", 2, "corvane-decode: "},
      {"--format nmea", 2, "corvane-decode: "},
      {"--format sirf " + empty, 2, "corvane-decode: "},
      {empty, 2, "corvane-decode: "},
      {"--format nmea --chunk 0 " + empty, 2, "corvane-decode: "},
      {"--format nmea --chunk 2049 " + empty, 2, "corvane-decode: "},
      {"--format=nmea --chunk=12x " + empty, 2, "corvane-decode: "},
      {"--format gsof --chunk", 2, "corvane-decode: "},
      {"--format nmea --bogus " + empty, 2, "corvane-decode: "},
      {"--format nmea " + empty + " " + empty, 2, "corvane-decode: "},
      {"--format nmea " + empty + ".missing", 2, "corvane-decode: "},
      {"--format nmea " + dir.path().string(), 2, "corvane-decode: "},
  };
  for (const auto& [arguments, status, err] : rows) {
    SCOPED_TRACE(arguments);
    const ToolRun run = RunTool(arguments, dir.path());
    EXPECT_EQ(run.status, status);
    EXPECT_TRUE(run.err.starts_with(err)) << run.err;
    if (status != 2) continue;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
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
  const ToolRun run = RunTool("--chunk 5 --format gsof " + capture, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  // 20 generated reports, 7 of them of three pages, then the last one.
  EXPECT_EQ(run.err, Summary(stream.size(),
                             "35 packets accepted, 0 rejected (checksum 0, "
                             "length 0)"));
  const std::pair<const char*, double> fields[] = {{"Latitude", -0.5 * 57.295780490442965},
                                                   {"Longitude", 0.25 * 57.295780490442965},
                                                   {"Altitude", -12.5},
                                                   {"FixQuality", 3},
                                                   {"Day", 20},
                                                   {"Hrms", 5.0}};
  for (const auto& [name, value] : fields) EXPECT_EQ(JsonNumber(run.out, name), value) << name;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '{'), 1 + 3 * 20);

  // --each prints a line per changing chunk; the last is the final record.
  const ToolRun each =
      RunTool("--format=gsof --each --chunk=64 -", dir.path(), "cat " + capture + " |");
  ASSERT_EQ(each.status, 0);
  const auto lines = std::count(each.out.begin(), each.out.end(), '\n');
  EXPECT_GE(lines, 20);
  EXPECT_LE(static_cast<size_t>(lines), stream.size() / 64 + 1);
  EXPECT_EQ(each.out.substr(each.out.rfind('\n', each.out.size() - 2) + 1), run.out);
}

// 100 MB on standard input, which the tool once held whole; and --each, which
// once built a JSON line after every chunk (4.7 s per MB of 1-byte chunks),
// now costs about what the plain run costs (measured in the same build, so
// that the sanitizers slow both alike).
TEST(DecodeToolTest, LongStreamsInBoundedMemoryAndTime) {
  TempDir dir;
  const ToolRun big = RunTool("--format gsof -", dir.path(), "head -c 100000000 /dev/zero |");
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.err, Summary(100000000, "0 packets accepted, 0 rejected (checksum 0, length 0)"));
  // The largest resident size of the programs this test reaped so far, in kB.
  rusage children{};
  ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &children), 0);
  EXPECT_LT(children.ru_maxrss, 64 * 1024);
  const auto seconds = [&](const std::string& each) {
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = RunTool("--format nmea --chunk 1 " + each + " -", dir.path(),
                                "head -c 1000000 /dev/zero |");
    EXPECT_EQ(run.out, each.empty() ? PositionFixToJson({}) + "\n" : "");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const double plain = seconds("");
  EXPECT_LT(seconds("--each"), 3 * plain + 0.5) << "without --each: " << plain << " s";
}

// Every RTCM 3 capture: the inventory counts the message types that gpsd's
// gpsdecode, an independent decoder, prints, and reads the same station.
TEST(DecodeToolTest, Rtcm3InventoryAgreesWithGpsdecode) {
  ASSERT_TRUE(std::filesystem::exists("/usr/bin/gpsdecode")) << "install gpsd-clients";
  TempDir dir;
  for (const auto& entry :
       std::filesystem::directory_iterator(CORVANE_SOURCE_DIR "/tests/data/rtcm3")) {
    SCOPED_TRACE(entry.path());
    const ToolRun run = RunTool("--format rtcm3 " + entry.path().string(), dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    const auto inventory = nlohmann::json::parse(run.out);
    std::map<int, int> counted, decoded;
    for (const auto& message : inventory["Messages"]) counted[message["Type"]] = message["Count"];
    const std::string gpsd = (dir.path() / "gpsdecode.txt").string();
    ChildProcess decoder(
        {"/bin/sh", "-c", "/usr/bin/gpsdecode <" + entry.path().string() + " >" + gpsd});
    ASSERT_EQ(decoder.Wait(60s), 0);
    std::istringstream lines(ReadFileBytes(gpsd));
    nlohmann::json station;
    for (std::string line; std::getline(lines, line);) {
      const auto message = nlohmann::json::parse(line);
      if (message["class"] != "RTCM3") continue;
      ++decoded[message["type"]];
      if (message["type"] == 1005 || message["type"] == 1006) station = message;
    }
    EXPECT_EQ(counted, decoded);
    ASSERT_FALSE(station.is_null());
    for (const auto& [ours, theirs] : {std::pair{"X", "x"}, {"Y", "y"}, {"Z", "z"}})
      EXPECT_NEAR(inventory["Station"][ours], station[theirs], 1e-9);
  }
}

}  // namespace
}  // namespace corvane::testing
