// The developer tools as their users meet them. corvane-decode: its exit
// status and summary line for each kind of input and argument, a generated
// GSOF stream's values coming through small chunks, and the RTCM 3 inventory
// of the correction capture against an independent decoder. corvane-caster:
// its answers by password and mount, and a source's bytes reaching a client.
// The simulator and the caster together are driven end to end by the
// application tests and by CI's demo check.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "decode/GsofDecoder.h"
#include "fixtures/Loopback.h"
#include "fixtures/Process.h"
#include "fixtures/TempDir.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"
#include "tools/decode/PositionJson.h"

namespace corvane::testing {
namespace {

const std::string kData = CORVANE_SOURCE_DIR "/tests/data/";
const std::string kDecode = CORVANE_BIN_DIR "/corvane-decode ";

struct ToolRun {
  int status;
  std::string out, err;
};

// A shell line (which may redirect its output again), its output kept in `folder`.
ToolRun Shell(const std::string& line, const std::filesystem::path& folder) {
  const std::string out = (folder / "out.txt").string(), err = (folder / "err.txt").string();
  const int status =
      ChildProcess({"/bin/sh", "-c", "exec >" + out + " 2>" + err + "; " + line}).Wait(60s);
  return {status, ReadFileBytes(out), ReadFileBytes(err)};
}

std::string Summary(size_t bytes, const std::string& tally) {
  return "corvane-decode: " + std::to_string(bytes) + " bytes read, " + tally + "\n";
}

TEST(DecodeToolTest, ExitStatusAndSummaryForEachInput) {
  TempDir dir;
  const std::string empty = WriteFileBytes(dir.path() / "empty.log", "");
  // A checksum that does not match, a sentence longer than any receiver's.
  const std::string damaged = WriteFileBytes(
      dir.path() / "damaged.log", "$GPGGA,1*00\r\n$GPGSA," + std::string(1100, '1') + "\r\n");
  // Arguments, exit status, the start of standard error.
  const std::tuple<std::string, int, std::string> rows[] = {
      {"--format nmea " + empty, 1,
       Summary(0, "0 sentences accepted, 0 rejected (checksum 0, length 0)")},
      {"--format nmea " + damaged, 1,
       Summary(1122, "0 sentences accepted, 2 rejected (checksum 1, length 1)")},
      {"--format rtcm3 " + kData + "rtcm3/testglo.rtcm3", 0,
       Summary(57931, "429 frames accepted, 0 rejected (checksum 0, length 0), 58 bytes skipped")},
      {"", 2, "corvane-decode: "},
      {"--format nmea --chunk 0 " + empty, 2, "corvane-decode: "},
      {"--format nmea --chunk 2049 " + empty, 2, "corvane-decode: "},
      {"--format nmea " + empty + ".missing", 2, "corvane-decode: "},
  };
  for (const auto& [arguments, status, err] : rows) {
    SCOPED_TRACE(arguments);
    const ToolRun run = Shell(kDecode + arguments, dir.path());
    // A usage error is one line on standard error and nothing on standard output.
    const bool usage = run.out.empty() && std::count(run.err.begin(), run.err.end(), '\n') == 1;
    EXPECT_EQ(std::tuple(run.status, run.err.starts_with(err), status != 2 || usage),
              std::tuple(status, true, true))
        << run.err;
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
  const std::string capture =
      WriteFileBytes(dir.path() / "stream.gsof", std::string(stream.begin(), stream.end()));
  const ToolRun run = Shell(kDecode + "--chunk 5 --format gsof " + capture, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  // 20 generated reports, 7 of them of three pages, then the last one: the
  // record as decoded here in 2048-byte chunks, its numbers in full.
  EXPECT_EQ(run.err,
            Summary(stream.size(), "35 packets accepted, 0 rejected (checksum 0, length 0)"));
  EXPECT_EQ(run.out, PositionFixToJson(DecoderRig<GsofDecoder, Bytes>().Decode(stream)) + "\n");
  EXPECT_EQ(nlohmann::json::parse(run.out)["Latitude"], -0.5 * GsofDecoder::kDegreesPerRadian);
}

// The correction capture in 5-byte chunks: the message types that gpsd's
// gpsdecode, an independent decoder, prints; the 1 Hz observations, the
// 0.1 Hz rest and the base's commanded position of the capture's notes, to
// about a millimetre.
TEST(DecodeToolTest, Rtcm3InventoryAgreesWithGpsdecode) {
  ASSERT_TRUE(std::filesystem::exists("/usr/bin/gpsdecode")) << "install gpsd-clients";
  TempDir dir;
  const std::string capture = kData + "rtcm3/testglo.rtcm3";
  const ToolRun run = Shell(kDecode + "--chunk 5 --format rtcm3 " + capture, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const auto inventory = nlohmann::json::parse(run.out);
  std::map<int, int> counted, decoded;
  std::map<int, double> intervals;
  for (const auto& message : inventory["Messages"]) {
    counted[message["Type"]] = message["Count"];
    intervals[message["Type"]] = message["MeanInterval"];
  }
  const ToolRun gpsd = Shell("/usr/bin/gpsdecode <" + capture, dir.path());
  ASSERT_EQ(gpsd.status, 0);
  std::istringstream lines(gpsd.out);
  for (std::string line; std::getline(lines, line);) {
    const auto message = nlohmann::json::parse(line);
    if (message["class"] == "RTCM3") ++decoded[message["type"]];
  }
  EXPECT_EQ(counted, decoded);
  EXPECT_EQ(intervals, (std::map<int, double>{
                           {1004, 1.0}, {1005, 10.0}, {1012, 1.0}, {1019, 10.0}, {1020, 10.0}}));
  EXPECT_NEAR(inventory["Station"]["Latitude"], 35.872988846, 1e-8);
  EXPECT_NEAR(inventory["Station"]["Longitude"], 138.389665470, 1e-8);
}

// Answers by password and mount (with or without its slash, so both name the
// same mount), then the source's bytes reach the client.
TEST(CasterToolTest, AcceptsTheSourceAndServesTheClient) {
  ChildProcess caster(
      {CORVANE_BIN_DIR "/corvane-caster", "--port", "0", "--password", "pw", "--mount", "/BASE"});
  const sockaddr_in address = Loopback(CasterPort(caster));
  const std::pair<std::string, std::string> cases[] = {
      {"SOURCE wrong BASE\n\r\n", "ERROR - Bad Password\r\n"},
      {"SOURCE pw OTHER\n\r\n", "ERROR - Bad Mountpoint\r\n"},
      {"SOURCE pw BASE\n\r\n", "ICY 200 OK\r\n"},
      {"SOURCE pw /BASE\n\r\n", "ERROR - Mount Point Taken or Invalid\r\n"},
      {"GET /BASE HTTP/1.0\r\n\r\n", "ICY 200 OK\r\n"},
  };
  std::vector<int> connections;
  for (const auto& [request, reply] : cases) {
    const int fd = connections.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    EXPECT_EQ(ReadUntil(fd, reply), reply) << request;
  }
  ASSERT_EQ(::send(connections[2], "relayed", 7, MSG_NOSIGNAL), 7);
  EXPECT_EQ(ReadUntil(connections[4], "relayed"), "relayed");
  for (const int fd : connections) ::close(fd);
  EXPECT_EQ(caster.Stop(SIGINT), 0);
}

}  // namespace
}  // namespace corvane::testing
