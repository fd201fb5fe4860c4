#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fixtures/TempDir.h"
#include "tools/caster/CasterProtocol.h"
#include "uplink/ChildProcess.h"

namespace corvane {
namespace {

using namespace corvane::caster;

TEST(CasterToolTest, RequestsAreRecognised) {
  const std::string source = "SOURCE pw /BASE\nSource-Agent: NTRIP x/1.0.0\n\r\nDATA";
  EXPECT_EQ(HeaderEnd(source), source.size() - 4);
  EXPECT_EQ(HeaderEnd("SOURCE pw /BASE\nSource-Agent: x\n"), std::string::npos);
  EXPECT_EQ(HeaderEnd("GET /BASE HTTP/1.0\r\nUser-Agent: NTRIP y\r\n\r\n"), 43u);

  Request request = ParseRequest(source);
  EXPECT_EQ(request.kind, RequestKind::Source);
  EXPECT_EQ(request.password, "pw");
  EXPECT_EQ(request.mount, "BASE");
  request = ParseRequest("SOURCE  BASE\n\r\n");  // empty password
  EXPECT_EQ(request.kind, RequestKind::Source);
  EXPECT_EQ(request.password, "");
  EXPECT_EQ(request.mount, "BASE");
  request = ParseRequest("GET /BASE HTTP/1.0\r\n\r\n");
  EXPECT_EQ(request.kind, RequestKind::Client);
  EXPECT_EQ(request.mount, "BASE");
  EXPECT_EQ(ParseRequest("SOURCE nospace\n\n").kind, RequestKind::Unknown);
  EXPECT_EQ(ParseRequest("POST / HTTP/1.1\r\n\r\n").kind, RequestKind::Unknown);
}

int Dial(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void SendAll(int fd, std::string_view bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// Reads until `count` bytes came, the peer closed, or two seconds passed.
std::string Receive(int fd, size_t count) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    received.append(chunk, static_cast<size_t>(n));
  }
  return received;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

uint16_t ListeningPort(testing::ChildProcess& caster) {
  const std::string line = caster.ReadLine();
  const size_t colon = line.find("127.0.0.1:");
  return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(line.substr(colon + 10)));
}

TEST(CasterToolTest, TakesOneSourceRecordsItAndServesClients) {
  testing::TempDir dir;
  const auto out = dir.path() / "stream.bin";
  testing::ChildProcess caster({CORVANE_BIN_DIR "/corvane-caster", "--port", "0", "--mount",
                                "/BASE", "--password", "pw", "--out", out.string()});
  ASSERT_TRUE(caster.Running());
  const uint16_t port = ListeningPort(caster);
  ASSERT_NE(port, 0);

  int fd = Dial(port);
  SendAll(fd, "SOURCE wrong BASE\nSource-Agent: x\n\r\n");
  EXPECT_EQ(Receive(fd, 1000), "ERROR - Bad Password\r\n");  // then closed
  ::close(fd);

  const int client = Dial(port);
  SendAll(client, "GET /BASE HTTP/1.0\r\nUser-Agent: NTRIP test\r\n\r\n");
  EXPECT_EQ(Receive(client, 12), "ICY 200 OK\r\n");
  const int browser = Dial(port);
  SendAll(browser, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(Receive(browser, 1000).starts_with("SOURCETABLE 200 OK\r\n"));
  ::close(browser);

  const int source = Dial(port);
  SendAll(source, "SOURCE pw BASE\nSource-Agent: x\n\r\nFIRST");
  EXPECT_EQ(Receive(source, 12), "ICY 200 OK\r\n");
  const int second = Dial(port);
  SendAll(second, "SOURCE pw /BASE\nSource-Agent: x\n\r\n");
  EXPECT_EQ(Receive(second, 1000), "ERROR - Mount Point Taken or Invalid\r\n");
  ::close(second);
  SendAll(source, "SECOND");
  EXPECT_EQ(Receive(client, 11), "FIRSTSECOND");
  EXPECT_TRUE(caster.AwaitLine("source=up bytes=11"));
  ::close(source);
  ::close(client);

  EXPECT_EQ(caster.Stop(SIGINT), 0);
  EXPECT_TRUE(caster.AwaitLine("stopped bytes=11"));
  EXPECT_EQ(ReadFile(out), "FIRSTSECOND");
}

TEST(CasterToolTest, RefusesBadArguments) {
  testing::ChildProcess noMount({CORVANE_BIN_DIR "/corvane-caster", "--port", "0"}, true);
  EXPECT_EQ(noMount.Stop(0), 2);
  testing::ChildProcess badPort(
      {CORVANE_BIN_DIR "/corvane-caster", "--mount", "M", "--port", "70000"}, true);
  EXPECT_EQ(badPort.Stop(0), 2);
}

}  // namespace
}  // namespace corvane
