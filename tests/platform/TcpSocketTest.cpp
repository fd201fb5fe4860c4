// The caster socket in front of a caster that takes nothing more: the sender
// is held up after a bounded backlog, so that the relay's own buffer, and not
// the kernel's, decides what a slow caster loses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "fixtures/Loopback.h"
#include "platform/TcpSocket.h"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;

TEST(TcpSocketTest, ACasterThatStopsReadingHoldsTheSenderUpWithinABoundedBacklog) {
  Listener caster;  // never reads
  TcpSocket socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect(htonl(INADDR_LOOPBACK), caster.port));
  ASSERT_TRUE(caster.Accept());

  std::atomic<size_t> taken{0};
  std::thread sender([&] {
    const std::vector<uint8_t> chunk(1024);
    for (int sent; (sent = socket.Send(chunk.data(), 1024)) > 0;)
      taken += static_cast<size_t>(sent);
  });
  size_t backlog = 0;
  do {
    backlog = taken;
    std::this_thread::sleep_for(300ms);
  } while (taken != backlog);
  socket.Shutdown();
  sender.join();
  // The caster's receive buffer and ours; autotuned, ours alone takes megabytes.
  EXPECT_LT(backlog, 512u * 1024);
}

}  // namespace
}  // namespace corvane::testing
