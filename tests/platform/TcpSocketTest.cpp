// The caster socket in front of a caster that takes nothing more: the sender
// is held up after a bounded backlog, so that the relay's own buffer, and not
// the kernel's, decides what a slow caster loses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/TcpSocket.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

TEST(TcpSocketTest, ACasterThatStopsReadingHoldsTheSenderUpWithinABoundedBacklog) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  TcpSocket socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect(address.sin_addr.s_addr, ntohs(address.sin_port)));
  const int caster = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);  // never reads

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
  ::close(caster);
  ::close(listener);
  // The caster's receive buffer and ours; autotuned, ours alone takes megabytes.
  EXPECT_LT(backlog, 512u * 1024);
}

}  // namespace
}  // namespace corvane
