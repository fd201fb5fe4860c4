// The whole uplink over real parts: a pseudo-terminal stands in for the
// receiver's cable, the relay reads it through the relay port and sends to
// corvane-caster on loopback, and RTKLIB's str2str pulls the stream back out
// of the caster as an independent NTRIP client.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "fixtures/RecordingEventLog.h"
#include "fixtures/TempDir.h"
#include "receiver/ComLink.h"
#include "receiver/RelayPort.h"
#include "uplink/CasterHandshake.h"
#include "uplink/ChildProcess.h"
#include "uplink/Relay.h"

namespace corvane {
namespace {

constexpr const char* kStr2Str = "/usr/bin/str2str";

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

bool AwaitFileSize(const std::filesystem::path& path, uintmax_t size) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    std::error_code error;
    const uintmax_t now = std::filesystem::file_size(path, error);
    if (!error && now >= size) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TEST(RelayEndToEndTest, PtyStreamReachesTheCasterAndAnNtripClientUnchanged) {
  ASSERT_TRUE(std::filesystem::exists(kStr2Str)) << "install the rtklib package";
  testing::TempDir dir;
  testing::ComLink link;
  ASSERT_TRUE(link.Ready());
  const auto casterFile = dir.path() / "caster.bin";
  const auto clientFile = dir.path() / "client.bin";

  testing::ChildProcess caster({CORVANE_BIN_DIR "/corvane-caster", "--port", "0", "--mount",
                                "RTCM32", "--password", "secret", "--out", casterFile.string()});
  const std::string listening = caster.ReadLine();
  const size_t colon = listening.find("127.0.0.1:");
  ASSERT_NE(colon, std::string::npos) << listening;
  const int port = std::stoi(listening.substr(colon + 10));

  // The client joins first, so it sees the stream from its first byte.
  testing::ChildProcess client(
      {kStr2Str, "-in", "ntrip://:@127.0.0.1:" + std::to_string(port) + "/RTCM32", "-out",
       "file://" + clientFile.string()},
      true);
  ASSERT_TRUE(caster.AwaitLine("clients=1"));

  testing::RecordingEventLog log;
  auto relayPort = OpenRelayPort(link.Name(), 115200, log);
  ASSERT_NE(relayPort, nullptr);
  Relay relay(relayPort, nullptr, log, SteadyTime());
  relay.Flags().Running = 1;
  ASSERT_TRUE(relay.StartReader());
  Settings settings;
  settings.CasterAddress = "127.0.0.1";
  settings.Port = port;
  settings.PassWord = "secret";
  settings.Mount = "RTCM32";
  int32_t connectError = 0;
  ASSERT_EQ(ConnectCaster(relay.CasterSocket(), connectError, settings, log), 1);
  ASSERT_TRUE(relay.StartSender());

  // Three seconds at 115200 baud's byte rate, in 10 ms slices of 115 bytes.
  std::mt19937 random(5);
  std::vector<uint8_t> written;
  const auto start = std::chrono::steady_clock::now();
  for (int slice = 0; slice < 300; ++slice) {
    std::vector<uint8_t> bytes(115);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    link.Send(bytes);
    written.insert(written.end(), bytes.begin(), bytes.end());
    std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (slice + 1)));
  }
  const std::string expected(written.begin(), written.end());
  ASSERT_TRUE(AwaitFileSize(casterFile, expected.size()));
  EXPECT_TRUE(ReadFile(casterFile) == expected);
  ASSERT_TRUE(AwaitFileSize(clientFile, expected.size()));
  EXPECT_EQ(client.Stop(SIGTERM), 0);
  EXPECT_TRUE(ReadFile(clientFile) == expected);

  relay.Flags().Running = 0;
  relay.CloseRelayPort();
  relay.Join();
  EXPECT_EQ(relay.Flags().SocketFailed, 0);
  EXPECT_EQ(relay.Buffer().Total(), expected.size());
  EXPECT_EQ(caster.Stop(SIGTERM), 0);
  EXPECT_EQ(log.Events(), std::vector<std::string>{"Start Ntrip Server thread!"});
}

}  // namespace
}  // namespace corvane
