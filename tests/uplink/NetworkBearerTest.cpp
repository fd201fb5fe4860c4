#include "uplink/NetworkBearer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "fixtures/VirtualTime.h"

namespace corvane {
namespace {

const std::string kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string Route(const std::string& iface, const std::string& destination,
                  const std::string& flags, const std::string& mask) {
  return iface + "\t" + destination + "\t0100A8C0\t" + flags + "\t0\t0\t100\t" + mask +
         "\t0\t0\t0\n";
}

TEST(NetworkBearerTest, DefaultRoutesAreReadFromTheRouteTable) {
  EXPECT_TRUE(DefaultRouteInterfaces("").empty());
  EXPECT_TRUE(DefaultRouteInterfaces(kHeader).empty());
  const std::string table = kHeader + Route("eth0", "0000A8C0", "0001", "00FFFFFF") +  // a subnet
                            Route("wwan0", "00000000", "0003", "00000000") +  // default, up
                            Route("eth1", "00000000", "0002", "00000000") +   // not RTF_UP
                            "garbage line\n" + Route("ppp0", "0000000G", "0003", "00000000") +
                            Route("wlan0", "00000000", "0003", "00000000");
  EXPECT_EQ(DefaultRouteInterfaces(table), (std::vector<std::string>{"wwan0", "wlan0"}));
  // The header line is never taken for a route, even if it parsed as one.
  EXPECT_TRUE(DefaultRouteInterfaces(Route("eth0", "00000000", "0003", "00000000")).empty());
}

class FakeRoutes final : public RouteSource {
 public:
  std::string RouteTable() override {
    ++reads;
    return reads > routeAfterReads ? table : kHeader;
  }
  bool InterfaceIsUp(std::string_view name) override { return up[std::string(name)]; }

  std::string table;
  int routeAfterReads = 0;
  int reads = 0;
  std::map<std::string, bool> up;
};

TEST(NetworkBearerTest, BearerIsUpOnlyThroughAnInterfaceThatIsUp) {
  testing::VirtualTimeSource time;
  FakeRoutes routes;
  NetworkBearer bearer(routes, time);
  routes.table = kHeader + Route("lo", "00000000", "0001", "00000000") +
                 Route("wwan0", "00000000", "0003", "00000000");
  routes.up = {{"lo", false}, {"wwan0", false}};  // lo counts as not up: loopback
  EXPECT_EQ(bearer.BearerIsUp(), 0);
  routes.up["wwan0"] = true;
  EXPECT_EQ(bearer.BearerIsUp(), 1);
  EXPECT_EQ(bearer.EstablishBearer(), 1);
  EXPECT_TRUE(time.Sleeps().empty());  // already up: no wait
}

TEST(NetworkBearerTest, EstablishWaitsForARouteUpToSixtySeconds) {
  testing::VirtualTimeSource time;
  FakeRoutes routes;
  routes.table = kHeader + Route("wlan0", "00000000", "0003", "00000000");
  routes.up["wlan0"] = true;
  routes.routeAfterReads = 5;  // the route appears on the sixth look
  NetworkBearer bearer(routes, time);
  EXPECT_EQ(bearer.EstablishBearer(), 1);
  EXPECT_EQ(time.Sleeps(), std::vector<Millis>(5, Millis(1000)));

  testing::VirtualTimeSource never;
  FakeRoutes none;
  NetworkBearer noBearer(none, never);
  EXPECT_EQ(noBearer.EstablishBearer(), 0);
  EXPECT_EQ(never.Now(), Millis(60000));
  EXPECT_EQ(none.reads, 61);  // at once, then once a second for 60 s
}

TEST(NetworkBearerTest, SystemLoopbackIsNeverABearer) {
  SystemRouteSource system;
  EXPECT_FALSE(system.InterfaceIsUp("lo"));
  EXPECT_FALSE(system.InterfaceIsUp("no-such-if0"));
  EXPECT_FALSE(system.InterfaceIsUp(std::string(40, 'x')));
}

}  // namespace
}  // namespace corvane
