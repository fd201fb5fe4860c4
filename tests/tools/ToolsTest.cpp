// The developer tools. corvane-decode as a program: its exit status and
// summary line for each kind of input and argument, the values of a generated
// GSOF stream coming through in any chunking, a long stream read in bounded
// memory and time, and the RTCM 3 inventory against an independent decoder.
// The inventory on its own (the capture's intervals and station in any
// chunking, and what damage to the stream does to it), the simulator's text
// commands, and corvane-caster's answers, statistics and silent peers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "SimProtocol.h"
#include "decode/GsofDecoder.h"
#include "fixtures/Loopback.h"
#include "fixtures/Process.h"
#include "fixtures/TempDir.h"
#include "tests/decode/DecodeTestSupport.h"
#include "tests/decode/GsofBuilder.h"
#include "tools/common/Rtcm3Inventory.h"
#include "tools/decode/InventoryJson.h"
#include "tools/decode/PositionJson.h"

namespace corvane::testing {
namespace {

using namespace rtcm3;

const std::string kData = CORVANE_SOURCE_DIR "/tests/data/";

struct ToolRun {
  int status;
  std::string out, err;
};

const std::string kDecode = CORVANE_BIN_DIR "/corvane-decode ";

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
  const std::string empty = (dir.path() / "empty.log").string();
  std::ofstream{empty};
  const std::string damaged = (dir.path() / "damaged.log").string();
  std::ofstream(damaged) << "$GPGGA,123519,480.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
                         << "$GPGSA,A,3," << std::string(1100, '1') << "\r\n";
  // Arguments, exit status, the start of standard error.
  const std::tuple<std::string, int, std::string> rows[] = {
      {"--format nmea " + empty, 1,
       Summary(0, "0 sentences accepted, 0 rejected (checksum 0, length 0)")},
      {"--format nmea " + damaged, 1,
       Summary(1179, "0 sentences accepted, 2 rejected (checksum 1, length 1)")},
      {"--format nmea " + kData + "nmea/gr8013-w.log >/dev/full", 1,
       "corvane-decode: cannot write to standard output: No space left on device\n"},
      {"--format rtcm3 " + kData + "rtcm3/testglo.rtcm3", 0,
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
    const ToolRun run = Shell(kDecode + arguments, dir.path());
    EXPECT_EQ(std::tuple(run.status, run.err.starts_with(err)), std::tuple(status, true))
        << run.err;
    // A usage error is one line on standard error and nothing on standard output.
    if (status != 2) continue;
    EXPECT_EQ(std::tuple(run.out, std::count(run.err.begin(), run.err.end(), '\n')),
              std::tuple("", 1));
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
  const ToolRun run = Shell(kDecode + "--chunk 5 --format gsof " + capture, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  // 20 generated reports, 7 of them of three pages, then the last one: the
  // record as decoded here in 2048-byte chunks, its numbers in full.
  EXPECT_EQ(run.err,
            Summary(stream.size(), "35 packets accepted, 0 rejected (checksum 0, length 0)"));
  EXPECT_EQ(run.out, PositionFixToJson(DecoderRig<GsofDecoder, Bytes>().Decode(stream)) + "\n");
  EXPECT_EQ(nlohmann::json::parse(run.out)["Latitude"], -0.5 * GsofDecoder::kDegreesPerRadian);

  // --each prints a line per changing chunk; the last is the final record.
  const ToolRun each =
      Shell("cat " + capture + " | " + kDecode + "--format=gsof --each --chunk=64 -", dir.path());
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
  const ToolRun big =
      Shell("head -c 100000000 /dev/zero | " + kDecode + "--format gsof -", dir.path());
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.err, Summary(100000000, "0 packets accepted, 0 rejected (checksum 0, length 0)"));
  // The largest resident size of the programs this test reaped so far, in kB.
  rusage children{};
  ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &children), 0);
  EXPECT_LT(children.ru_maxrss, 64 * 1024);
  const auto seconds = [&](const std::string& each) {
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run =
        Shell("head -c 1000000 /dev/zero | " + kDecode + "--format nmea --chunk 1 " + each + " -",
              dir.path());
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
  for (const auto& entry : std::filesystem::directory_iterator(kData + "rtcm3")) {
    SCOPED_TRACE(entry.path());
    const ToolRun run = Shell(kDecode + "--format rtcm3 " + entry.path().string(), dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    const auto inventory = nlohmann::json::parse(run.out);
    std::map<int, int> counted, decoded;
    for (const auto& message : inventory["Messages"]) counted[message["Type"]] = message["Count"];
    const ToolRun gpsd = Shell("/usr/bin/gpsdecode <" + entry.path().string(), dir.path());
    ASSERT_EQ(gpsd.status, 0);
    std::istringstream lines(gpsd.out);
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

Inventory Take(const Bytes& stream, size_t chunk) {
  Inventory inventory;
  for (size_t done = 0; done < stream.size(); done += chunk)
    inventory.Feed(stream.data() + done, std::min(chunk, stream.size() - done));
  inventory.Finish();
  return inventory;
}

// The frame and type counts and the station's X, Y and Z of every capture
// are those of the gpsdecode test above.
TEST(Rtcm3InventoryTest, CaptureInEveryChunking) {
  const std::string bytes = ReadFileBytes(kData + "rtcm3/testglo.rtcm3");
  const Bytes capture(bytes.begin(), bytes.end());
  const Inventory whole = Take(capture, capture.size());
  for (const size_t chunk : {1, 2, 5, 333, 1029, 2048})
    EXPECT_EQ(InventoryToJson(Take(capture, chunk)), InventoryToJson(whole)) << chunk;

  // The 1 Hz observations and the 0.1 Hz station, ephemeris and receiver
  // descriptions of the capture's notes.
  std::map<uint32_t, std::optional<double>> intervals;
  for (const auto& [type, stats] : whole.Messages()) intervals[type] = stats.MeanInterval();
  EXPECT_EQ(intervals, (decltype(intervals){
                           {1004, 1.0}, {1005, 10.0}, {1012, 1.0}, {1019, 10.0}, {1020, 10.0}}));
  // The station of the 1005: the base's commanded position was 35.872988846 N
  // 138.389665470 E.
  const StationPosition station = whole.Station().value();
  EXPECT_EQ(std::tuple(station.Message, station.StationId), std::tuple(1005, 0));
  EXPECT_NEAR(station.Position.Latitude, 35.872988846, 1e-8);
  EXPECT_NEAR(station.Position.Longitude, 138.389665470, 1e-8);
}

// Preamble, length, message, CRC-24Q.
Bytes Frame(const Bytes& message) {
  Bytes frame = Concat(
      {{0xD3, static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())},
       message});
  const uint32_t crc = Crc24q(frame.data(), frame.size());
  for (const int shift : {16, 8, 0}) frame.push_back(static_cast<uint8_t>(crc >> shift));
  return frame;
}

TEST(Rtcm3InventoryTest, DamageCountsAsSkippedOrRejected) {
  // A 1006 of station 0 at X 1 m, Y -2 m, Z 3.5 m, antenna 1.5 m: the
  // coordinates in 0.1 mm, 38 bits from bits 34, 74 and 114, the height in
  // 16 bits from bit 152. The same cut to 10 bytes.
  const Bytes station = {0x3E, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x27, 0x10, 0x3F, 0xFF,
                         0xFF, 0xB1, 0xE0, 0x00, 0x00, 0x00, 0x88, 0xB8, 0x3A, 0x98};
  const Bytes good = Frame(station);
  const Bytes shortened = Frame(Bytes(station.begin(), station.begin() + 10));
  Bytes damaged = good;
  damaged[8] ^= 0x10;
  const Inventory inventory =
      Take(Concat({good, {'x', 'y', 'z'}, damaged, shortened, good, {0xD3, 0x00}}), 7);
  EXPECT_EQ(std::tuple(inventory.Frames(), inventory.BadCrc(), inventory.TooShort(),
                       inventory.SkippedBytes(), inventory.Messages().at(1006).Count),
            std::tuple(2, 1, 1, 3 + damaged.size() + shortened.size() + 2, 2u));
  EXPECT_FALSE(inventory.Messages().at(1006).MeanInterval()) << "no observation gave a time";
  const StationPosition& at = *inventory.Station();
  EXPECT_EQ(std::tuple(at.X, at.Y, at.Z, at.AntennaHeight.value_or(0)),
            std::tuple(1.0, -2.0, 3.5, 1.5));
}

// A malformed command is Unknown (logged and ignored by the simulator), never
// an exception that ends it.
TEST(SimCommandTest, MalformedCommandsAreUnknown) {
  using Kind = sim::Command::Kind;
  const std::pair<const char*, Kind> rows[] = {
      {"log rtcm1033b ontime 10", Kind::LogCorrection},
      {"log gpgga ontime 0.5", Kind::LogPosition},
      {"log rtcm99999999999999999999b ontime 1", Kind::Unknown},
      {"log rtcm4096 ontime 1", Kind::Unknown},
      {"log gpgga ontime 1e999", Kind::Unknown},
      {"log gpgga ontime nan", Kind::Unknown},
      {"log gpgga ontime -1", Kind::Unknown},
      {"log gpgga ontime x", Kind::Unknown},
  };
  for (const auto& [line, kind] : rows) EXPECT_EQ(sim::ParseTextCommand(line).kind, kind) << line;
  EXPECT_EQ(sim::ParseTextCommand("log gpgga ontime 0.5").periodSeconds, 1);
}

// corvane-caster on a port the kernel picks (with `limit` as its shell's
// descriptor limit when given), and loopback connections to it.
struct Caster {
  explicit Caster(const std::string& mount, const std::string& limit = {})
      : process({"/bin/sh", "-c",
                 (limit.empty() ? "" : "ulimit -n " + limit + " && ") +
                     "exec " CORVANE_BIN_DIR "/corvane-caster --port 0 --password pw --mount " +
                     mount}) {
    const std::string listening = process.ReadLine();  // "listening 127.0.0.1:<port> mount /M"
    port = static_cast<uint16_t>(std::atoi(&listening[listening.find(':') + 1]));
  }
  // A connection that has sent `request`; -1 when it failed.
  int Connect(std::string_view request = {}) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Processor seconds the caster has used: fields 14 and 15 of its stat line.
  double CpuSeconds() const {
    const std::string stat = ReadFileBytes("/proc/" + std::to_string(process.Pid()) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<double> numbers;
    for (std::string field; fields >> field;) numbers.push_back(std::atof(field.c_str()));
    return (numbers.at(11) + numbers.at(12)) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  ChildProcess process;
  uint16_t port = 0;
};

TEST(CasterToolTest, AnswersByPasswordAndMountWithOrWithoutItsSlash) {
  Caster caster("/BASE");
  const std::pair<std::string, std::string> cases[] = {
      {"SOURCE wrong BASE\n\r\n", "ERROR - Bad Password\r\n"},
      {"SOURCE pw OTHER\n\r\n", "ERROR - Bad Mountpoint\r\n"},
      {"SOURCE pw BASE\n\r\n", "ICY 200 OK\r\n"},
      {"SOURCE pw /BASE\n\r\n", "ERROR - Mount Point Taken or Invalid\r\n"},  // so matched
      {"GET /BASE HTTP/1.0\r\n\r\n", "ICY 200 OK\r\n"},
  };
  std::vector<int> connections;
  for (const auto& [request, reply] : cases) {
    const int fd = connections.emplace_back(caster.Connect(request));
    EXPECT_EQ(ReadUntil(fd, reply), reply) << request;
  }
  for (const int fd : connections) ::close(fd);
  EXPECT_EQ(caster.process.Stop(SIGINT), 0);
}

// The statistics line names the RTCM 3 message types of its second: all five
// of the capture while it arrives, none once the source is quiet.
TEST(CasterToolTest, StatisticsNameTheRtcm3TypesOfTheSecond) {
  Caster caster("M");
  EXPECT_TRUE(caster.process.AwaitLine("clients=0 types=-\n"));
  const int source =
      caster.Connect("SOURCE pw M\r\n\r\n" + ReadFileBytes(kData + "rtcm3/testglo.rtcm3"));
  // The capture may arrive across two seconds' lines.
  std::istringstream lines(ReadUntil(caster.process.Output(), "bytes=57931 ") +
                           caster.process.ReadLine());
  std::string named;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("source=up") != std::string::npos)
      named += line.substr(line.find("types=") + 6) + ",";
  }
  for (const char* type : {"1004,", "1005,", "1012,", "1019,", "1020,"})
    EXPECT_NE(named.find(type), std::string::npos) << named;
  EXPECT_TRUE(caster.process.AwaitLine("bytes=57931 rate=0 clients=0 types=-\n"));
  ::close(source);
  EXPECT_EQ(caster.process.Stop(SIGINT), 0);
}

// Out of descriptors the caster waits instead of spinning, takes the source as
// soon as descriptors are freed, and drops a peer that has not finished its
// request within 10 s.
TEST(CasterToolTest, SilentPeersNeitherSpinNorLockTheSourceOut) {
  Caster caster("M", "16");
  const auto start = std::chrono::steady_clock::now();
  std::vector<int> silent;
  for (int i = 0; i < 14; ++i) silent.push_back(caster.Connect());
  const int source = caster.Connect("SOURCE pw M\r\n\r\n");
  ASSERT_GE(source, 0);
  std::this_thread::sleep_for(500ms);
  const double cpu = caster.CpuSeconds();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LT(caster.CpuSeconds() - cpu, 0.3) << "spins while out of descriptors";

  for (size_t i = 1; i < silent.size(); ++i) ::close(silent[i]);
  EXPECT_EQ(ReadUntil(source, "ICY 200 OK\r\n"), "ICY 200 OK\r\n");
  // The first peer, still silent, is closed by the caster 10 s after it came.
  char byte = 0;
  const timeval wait{12, 0};
  ::setsockopt(silent[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  EXPECT_EQ(::recv(silent[0], &byte, 1, 0), 0);
  const auto dropped = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(dropped > 9500ms && dropped < 11500ms) << (dropped / 1ms);
  ::close(silent[0]);
  ::close(source);
  EXPECT_EQ(caster.process.Stop(SIGINT), 0);
}

}  // namespace
}  // namespace corvane::testing
