// What the network bearer asks of the OS: the kernel's IPv4 routing table and
// whether an interface is up. The original asked the phone's dial-up list and
// connection manager; on Linux a default route through an interface that is
// up stands for "a data connection to the Internet".
#pragma once

#include <string>
#include <string_view>

namespace corvane {

class RouteSource {
 public:
  virtual ~RouteSource() = default;
  // The routing table in the text form of /proc/net/route; empty on failure.
  virtual std::string RouteTable() = 0;
  // True when the interface exists, is up and is not a loopback interface.
  virtual bool InterfaceIsUp(std::string_view name) = 0;
};

// The host's own table and interfaces; only read, never changed.
class SystemRouteSource final : public RouteSource {
 public:
  std::string RouteTable() override;
  bool InterfaceIsUp(std::string_view name) override;
};

}  // namespace corvane
