// The developer tools' own parts: the RTCM 3 inventory of corvane-decode and
// corvane-caster (the capture's message counts, intervals and station in any
// chunking, and what damage to the stream does to them), the simulator's text
// commands, and corvane-caster's answers, statistics and silent peers.
#include "tools/common/Rtcm3Inventory.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/time.h>

#include <sstream>
#include <string>
#include <vector>

#include "SimProtocol.h"
#include "fixtures/Files.h"
#include "fixtures/Process.h"
#include "tools/decode/InventoryJson.h"

namespace corvane::rtcm3 {
namespace {

using namespace testing;

using Bytes = std::vector<uint8_t>;

Bytes Capture() {
  const std::string bytes =
      testing::ReadFileBytes(CORVANE_SOURCE_DIR "/tests/data/rtcm3/testglo.rtcm3");
  return Bytes(bytes.begin(), bytes.end());
}

// Preamble, length, message, CRC-24Q.
Bytes Frame(const Bytes& message) {
  Bytes frame = {0xD3, static_cast<uint8_t>(message.size() >> 8),
                 static_cast<uint8_t>(message.size())};
  frame.insert(frame.end(), message.begin(), message.end());
  const uint32_t crc = Crc24q(frame.data(), frame.size());
  for (const int shift : {16, 8, 0}) frame.push_back(static_cast<uint8_t>(crc >> shift));
  return frame;
}

Inventory Take(const Bytes& stream, size_t chunk) {
  Inventory inventory;
  for (size_t done = 0; done < stream.size(); done += chunk)
    inventory.Feed(stream.data() + done, std::min(chunk, stream.size() - done));
  inventory.Finish();
  return inventory;
}

TEST(Rtcm3InventoryTest, CaptureInEveryChunking) {
  const Bytes capture = Capture();
  ASSERT_EQ(capture.size(), 57931u);
  const Inventory whole = Take(capture, capture.size());
  for (const size_t chunk : {1, 2, 5, 333, 1029, 2048})
    EXPECT_EQ(InventoryToJson(Take(capture, chunk)), InventoryToJson(whole)) << chunk;

  // Type: frames, mean interval (s). The 1 Hz observations and the 0.1 Hz
  // station, ephemeris and receiver descriptions of the capture's notes.
  const std::tuple<uint32_t, uint64_t, double> expected[] = {
      {1004, 186, 1.0}, {1005, 19, 10.0}, {1012, 186, 1.0}, {1019, 19, 10.0}, {1020, 19, 10.0}};
  ASSERT_EQ(whole.Messages().size(), std::size(expected));
  for (const auto& [type, count, interval] : expected) {
    const MessageStats& stats = whole.Messages().at(type);
    EXPECT_EQ(stats.Count, count) << type;
    EXPECT_NEAR(stats.MeanInterval().value_or(0), interval, 0.01) << type;
  }
  // The frame and skipped counts are the decode tool's test's. The station of
  // the 1005: the base's commanded position was 35.872988846 N 138.389665470 E.
  ASSERT_TRUE(whole.Station());
  const StationPosition& station = *whole.Station();
  EXPECT_EQ(std::tuple(station.Message, station.StationId), std::tuple(1005, 0));
  EXPECT_NEAR(station.X, -3869297.5138, 1e-9);
  EXPECT_NEAR(station.Position.Latitude, 35.872988846, 1e-8);
  EXPECT_NEAR(station.Position.Longitude, 138.389665470, 1e-8);
}

TEST(Rtcm3InventoryTest, DamageCountsAsSkippedOrRejected) {
  // A 1006 at X 1 m, Y -2 m, Z 3.5 m, antenna 1.5 m; the same cut to 10 bytes.
  Bytes station(21, 0);
  station[0] = 0x3E;  // 1006 = 0x3EE
  station[1] = 0xE0;
  const auto put = [&](size_t offset, uint64_t value, size_t bits) {
    for (size_t i = 0; i < bits; ++i) {
      const size_t bit = offset + i;
      if ((value >> (bits - 1 - i) & 1) != 0)
        station[bit / 8] |= static_cast<uint8_t>(0x80 >> bit % 8);
    }
  };
  put(34, 10000, 38);
  put(74, (uint64_t{1} << 38) - 20000, 38);
  put(114, 35000, 38);
  put(152, 15000, 16);
  const Bytes good = Frame(station);
  const Bytes shortened = Frame(Bytes(station.begin(), station.begin() + 10));
  Bytes damaged = good;
  damaged[8] ^= 0x10;

  Bytes stream = good;
  for (const Bytes& part : {Bytes{'x', 'y', 'z'}, damaged, shortened, good, Bytes{0xD3, 0x00}})
    stream.insert(stream.end(), part.begin(), part.end());
  const Inventory inventory = Take(stream, 7);
  EXPECT_EQ(std::tuple(inventory.Frames(), inventory.BadCrc(), inventory.TooShort()),
            std::tuple(2, 1, 1));
  EXPECT_EQ(inventory.SkippedBytes(), 3 + damaged.size() + shortened.size() + 2);
  EXPECT_EQ(inventory.Messages().at(1006).Count, 2u);
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
    const sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
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
  const std::string capture = ReadFileBytes(CORVANE_SOURCE_DIR "/tests/data/rtcm3/testglo.rtcm3");
  const int source = caster.Connect("SOURCE pw M\r\n\r\n" + capture);
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
}  // namespace corvane::rtcm3
