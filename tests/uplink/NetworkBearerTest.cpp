#include "uplink/NetworkBearer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "fixtures/VirtualTime.h"

namespace corvane {
namespace {

TEST(NetworkBearerTest, TheHostRoutesLoopbackThroughAnUpInterface) {
  EXPECT_TRUE(SystemRouteSource().HasRouteTo(inet_addr("127.0.0.1")));
  EXPECT_TRUE(SystemRouteSource().HasRouteTo(inet_addr("127.3.2.1")));
}

// Routes the caster's address once it has been asked `upAtLook` times.
class ScriptedRoutes final : public RouteSource {
 public:
  bool HasRouteTo(uint32_t address) override {
    asked.push_back(address);
    return static_cast<int>(asked.size()) >= upAtLook;
  }
  std::vector<uint32_t> asked;
  int upAtLook = 1;
};

TEST(NetworkBearerTest, AsksForTheCastersAddressAndWaitsUpToSixtySeconds) {
  ScriptedRoutes routes;
  testing::VirtualTimeSource time;
  Settings settings;
  settings.CasterAddress = "192.168.7.9";
  NetworkBearer bearer(routes, time, settings);
  EXPECT_EQ(bearer.BearerIsUp(), 1);
  settings.CasterAddress = "10.0.0.2";  // read anew at every call
  routes.upAtLook = 2;
  EXPECT_EQ(bearer.BearerIsUp(), 1);
  EXPECT_EQ(routes.asked, (std::vector<uint32_t>{inet_addr("192.168.7.9"), inet_addr("10.0.0.2")}));

  routes.asked.clear();
  routes.upAtLook = 5;  // the link comes up on the fifth look
  EXPECT_EQ(bearer.EstablishBearer(), 1);
  EXPECT_EQ(time.Now(), Millis(4000));

  routes.asked.clear();
  routes.upAtLook = 1000;
  const Millis start = time.Now();
  EXPECT_EQ(bearer.EstablishBearer(), 0);
  EXPECT_EQ(time.Now() - start, NetworkBearer::kEstablishTimeout);
  EXPECT_EQ(routes.asked.size(), 61u);
}

}  // namespace
}  // namespace corvane
