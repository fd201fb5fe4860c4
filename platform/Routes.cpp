#include "platform/Routes.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace corvane {

std::string SystemRouteSource::RouteTable() {
  std::ifstream file("/proc/net/route");
  if (!file) return {};
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool SystemRouteSource::InterfaceIsUp(std::string_view name) {
  ifreq request{};
  if (name.empty() || name.size() >= sizeof request.ifr_name) return false;
  std::memcpy(request.ifr_name, name.data(), name.size());
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool known = ::ioctl(probe, SIOCGIFFLAGS, &request) == 0;
  ::close(probe);
  if (!known) return false;
  const auto flags = static_cast<unsigned>(request.ifr_flags);
  return (flags & IFF_UP) != 0 && (flags & IFF_LOOPBACK) == 0;
}

}  // namespace corvane
