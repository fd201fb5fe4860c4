#include "uplink/NetworkBearer.h"

#include <algorithm>

#include "platform/TcpSocket.h"

namespace corvane {

int NetworkBearer::BearerIsUp() {
  return routes_.HasRouteTo(InetAddr(settings_.CasterAddress.view())) ? 1 : 0;
}

int NetworkBearer::EstablishBearer() {
  const Millis deadline = time_.Now() + kEstablishTimeout;
  for (;;) {
    if (BearerIsUp() != 0) return 1;
    const Millis left = deadline - time_.Now();
    if (left.count() <= 0) return 0;
    time_.Sleep(std::min(left, kPollPeriod));
  }
}

}  // namespace corvane
