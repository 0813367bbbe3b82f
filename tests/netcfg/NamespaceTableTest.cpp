#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "core/Text.h"
#include "netcfg/NetText.h"
#include "netcfg/Routes.h"
#include "netcfg/win/IpHelperForwardTable.h"
#include "tests/support/DebugLogReader.h"

// Wine reads the routing table of the network namespace its wineserver started
// in; netns_table.sh made that namespace and its routes.
namespace {

uint32_t ip(const char* text) { return parseIPv4(text); }

std::string route(const ForwardRow& row) {
  return ipv4ToString(fromNetworkOrder(row.forwardDest)) + "/" + ipv4ToString(fromNetworkOrder(row.forwardMask)) +
         " via " + ipv4ToString(fromNetworkOrder(row.forwardNextHop));
}

class NamespaceTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("ZAV_NETNS_TABLE")) GTEST_SKIP() << "runs inside the namespace of netns_table.sh only";
  }
  IpHelperForwardTable table;
};

TEST_F(NamespaceTableTest, TheTableReadIsTheNamespaces) {
  std::vector<ForwardRow> rows;
  ASSERT_TRUE(readForwardRows(table, rows));
  std::set<std::string> routes;
  for (const ForwardRow& row : rows) {
    routes.insert(route(row));
    // Nothing of the host's own table: every next hop is on the namespace's
    // subnet, on loopback or on-link.
    const uint32_t nextHop = fromNetworkOrder(row.forwardNextHop);
    const bool known = nextHop == 0 || (nextHop & 0xFFFFFF00) == ip("10.77.0.0") || (nextHop >> 24) == 127;
    EXPECT_TRUE(known) << route(row);
  }
  for (const char* expected : {"0.0.0.0/0.0.0.0 via 10.77.0.1", "0.0.0.0/0.0.0.0 via 10.77.0.254",
                               "198.51.100.0/255.255.255.0 via 10.77.0.1"}) {
    EXPECT_EQ(routes.count(expected), 1u) << expected;
  }
}

TEST_F(NamespaceTableTest, DefaultGatewayAndBestInterfaceOnTheRealTable) {
  CapturedDebugLog log;
  EXPECT_EQ(defaultGateway(table), ip("10.77.0.254"));
  const std::string text = log.text();
  EXPECT_NE(text.find("Gateway found: 10.77.0.1, metric="), std::string::npos) << text;
  EXPECT_NE(text.find("Gateway found: 10.77.0.254, metric="), std::string::npos) << text;

  std::vector<ForwardRow> rows;
  ASSERT_TRUE(readForwardRows(table, rows));
  uint32_t through = 0;
  for (const ForwardRow& row : rows) {
    if (route(row) == "198.51.100.0/255.255.255.0 via 10.77.0.1") through = row.forwardIfIndex;
  }
  ASSERT_NE(through, 0u);
  uint32_t index = 0;
  ASSERT_EQ(table.bestInterface(toNetworkOrder(ip("10.77.0.1")), index), winerror::noError);
  EXPECT_EQ(index, through);
  ASSERT_EQ(table.bestInterface(toNetworkOrder(ip("198.51.100.9")), index), winerror::noError);
  EXPECT_EQ(index, through);
}

}  // namespace
