#include "platform/Routes.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

// True when an interface that is up holds the IPv4 address `local`.
bool AddressIsOnAnUpInterface(in_addr_t local) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool up = false;
  for (const ifaddrs* entry = list; entry != nullptr && !up; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    up = address->sin_addr.s_addr == local && (entry->ifa_flags & IFF_UP) != 0;
  }
  ::freeifaddrs(list);
  return up;
}

}  // namespace

bool SystemRouteSource::HasRouteTo(uint32_t address) {
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  // A text that is no dotted address stands for the broadcast address; it
  // goes where the default route goes, and its connect fails later as a
  // connect, not here.
  const int allow = 1;
  ::setsockopt(probe, SOL_SOCKET, SO_BROADCAST, &allow, sizeof allow);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(9);  // any port: the lookup ignores it
  peer.sin_addr.s_addr = address;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  const bool routed =
      ::connect(probe, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0;
  ::close(probe);
  return routed && AddressIsOnAnUpInterface(local.sin_addr.s_addr);
}

}  // namespace corvane
