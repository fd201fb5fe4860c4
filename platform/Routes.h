// What the network bearer asks of the OS: would the kernel send to the
// caster's address, and through an interface that is up? The original asked
// the phone's dial-up list and connection manager for an Internet link; a
// caster on the local network or on this host needs no Internet route, so
// here the question is asked of the caster's own address.
#pragma once

#include <cstdint>

namespace corvane {

class RouteSource {
 public:
  virtual ~RouteSource() = default;
  // True when the kernel has a route to `address` (IPv4, network byte order)
  // through an interface that is up; loopback counts for a loopback address.
  virtual bool HasRouteTo(uint32_t address) = 0;
};

// The host's own routes and interfaces; only read, never changed. The route
// lookup is the kernel's: a UDP socket connected to the address (no packet is
// sent) names the local address the kernel chose, and the interface holding
// that address must be up.
class SystemRouteSource final : public RouteSource {
 public:
  bool HasRouteTo(uint32_t address) override;
};

}  // namespace corvane
