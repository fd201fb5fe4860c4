// The network bearer: before each relay start, is there a data connection to
// the Internet, and if not, wait for one. On Linux the system brings links up
// itself (NetworkManager, networkd, a modem's PPP), so "establishing" the
// bearer means waiting up to 60 s for an IPv4 default route through an
// interface that is up and is not loopback.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Routes.h"
#include "platform/TimeSource.h"

namespace corvane {

// The interfaces that carry an IPv4 default route marked up, in table order.
// Reads the text of /proc/net/route:
//   Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
// (header line first; whitespace-separated; Destination, Flags and Mask in
// hexadecimal). A default route has Destination 0 and Mask 0; RTF_UP (0x1)
// marks it usable. Lines that do not parse are skipped.
std::vector<std::string> DefaultRouteInterfaces(std::string_view routeTable);

class NetworkBearer {
 public:
  static constexpr Millis kEstablishTimeout{60000};
  static constexpr Millis kPollPeriod{1000};

  NetworkBearer(RouteSource& routes, TimeSource& time) : routes_(routes), time_(time) {}

  // 1 when a default route goes through an interface that is up, else 0.
  int BearerIsUp();
  // 1 as soon as BearerIsUp reports 1, checked at once and then every
  // kPollPeriod; 0 when kEstablishTimeout passes without one.
  int EstablishBearer();

 private:
  RouteSource& routes_;
  TimeSource& time_;
};

}  // namespace corvane
