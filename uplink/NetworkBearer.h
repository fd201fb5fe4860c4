// The network bearer: before each relay start, can the caster be reached, and
// if not, wait for it. On Linux the system brings links up itself
// (NetworkManager, networkd, a modem's PPP), so "establishing" the bearer
// means waiting up to 60 s for a route to the caster's address through an
// interface that is up. A caster on the local network or on this host needs
// no Internet default route.
#pragma once

#include "config/Settings.h"
#include "platform/Routes.h"
#include "platform/TimeSource.h"

namespace corvane {

class NetworkBearer {
 public:
  static constexpr Millis kEstablishTimeout{60000};
  static constexpr Millis kPollPeriod{1000};

  // Asks for a route to settings.CasterAddress as it stands at each call.
  NetworkBearer(RouteSource& routes, TimeSource& time, const Settings& settings)
      : routes_(routes), time_(time), settings_(settings) {}

  // 1 when there is a route to the caster through an interface that is up.
  int BearerIsUp();
  // 1 as soon as BearerIsUp reports 1, checked at once and then every
  // kPollPeriod; 0 when kEstablishTimeout passes without one.
  int EstablishBearer();

 private:
  RouteSource& routes_;
  TimeSource& time_;
  const Settings& settings_;
};

}  // namespace corvane
