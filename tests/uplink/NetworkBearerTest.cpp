#include "uplink/NetworkBearer.h"

#include <gtest/gtest.h>

#include <set>

#include "fixtures/VirtualTime.h"

namespace corvane {
namespace {

constexpr char kHeader[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(NetworkBearerTest, DefaultRoutesFromTheKernelTable) {
  const std::string table = std::string(kHeader) +
                            "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
                            "wwan0\t00000000\t0100000A\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                            "eth1\t00000000\t0101A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"
                            "bad\tzz\n"
                            "ppp0  00000000  00000000  0001 0 0 0 00000000 0 0 0";
  EXPECT_EQ(DefaultRouteInterfaces(table), (std::vector<std::string>{"wwan0", "ppp0"}));
  EXPECT_TRUE(DefaultRouteInterfaces(kHeader).empty());
  EXPECT_TRUE(DefaultRouteInterfaces("").empty());
  // Loopback is up on every host and never a bearer.
  EXPECT_FALSE(SystemRouteSource().InterfaceIsUp("lo"));
}

class ScriptedRoutes final : public RouteSource {
 public:
  std::string RouteTable() override {
    ++looks;
    return looks >= upAtLook ? std::string(kHeader) +
                                   "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
                             : std::string(kHeader);
  }
  // Up and not loopback, as the host's source answers.
  bool InterfaceIsUp(std::string_view name) override { return up.count(std::string(name)) > 0; }

  int looks = 0;
  int upAtLook = 1;
  std::set<std::string> up = {"eth0"};
};

TEST(NetworkBearerTest, WaitsUpToSixtySecondsForARoute) {
  ScriptedRoutes routes;
  testing::VirtualTimeSource time;
  NetworkBearer bearer(routes, time);
  EXPECT_EQ(bearer.BearerIsUp(), 1);

  routes.up = {};  // the route's interface is down
  EXPECT_EQ(bearer.BearerIsUp(), 0);

  routes.up = {"eth0"};
  routes.looks = 0;
  routes.upAtLook = 5;  // the link comes up on the fifth look
  EXPECT_EQ(bearer.EstablishBearer(), 1);
  EXPECT_EQ(time.Now(), Millis(4000));

  routes.looks = 0;
  routes.upAtLook = 1000;
  const Millis start = time.Now();
  EXPECT_EQ(bearer.EstablishBearer(), 0);
  EXPECT_EQ(time.Now() - start, NetworkBearer::kEstablishTimeout);
}

}  // namespace
}  // namespace corvane
