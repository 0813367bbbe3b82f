#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Text.h"
#include "netcfg/NetText.h"
#include "netcfg/Routes.h"
#include "tests/netcfg/FakeForwardTable.h"
#include "tests/netcfg/TunnelHost.h"
#include "tests/support/DebugLogReader.h"

namespace {

using namespace tunnelhost;

std::string line(const ForwardRow& row) { return forwardRowLine(row); }

class RoutesTest : public ::testing::Test {
 protected:
  void SetUp() override { addInterfaces(table); }
  FakeForwardTable table;
  CapturedDebugLog log;
};

struct FlushCase {
  const char* name;
  const char* destination;
  const char* mask;
  const char* nextHop;
  bool deleted;
};

const FlushCase flushCases[] = {
    {"DefaultRouteKept", "0.0.0.0", "0.0.0.0", "192.168.1.1", false},
    {"PrivateRangeThroughOldGatewayDeleted", "10.0.0.0", "255.0.0.0", "192.168.1.1", true},
    {"HostRouteThroughOldGatewayDeleted", "203.0.113.7", "255.255.255.255", "192.168.1.1", true},
    // A default route needs both destination and mask 0.
    {"ZeroDestinationWithMaskDeleted", "0.0.0.0", "128.0.0.0", "192.168.1.1", true},
    {"TunnelSubnetOwnRouteKept", "10.8.0.0", "255.255.255.0", "10.8.0.6", false},
    {"TunnelHostRouteKept", "10.8.0.1", "255.255.255.255", "10.8.0.6", false},
    {"OutsideThroughTunnelDeleted", "8.8.8.0", "255.255.255.0", "10.8.0.1", true},
    {"HalfDefaultThroughTunnelDeleted", "128.0.0.0", "128.0.0.0", "10.8.0.1", true},
    {"OtherLanHopKept", "172.16.0.0", "255.255.0.0", "192.168.1.5", false},
    {"LanSubnetKept", "192.168.1.0", "255.255.255.0", "192.168.1.20", false},
    // Its deletion is refused; the flush goes on.
    {"RefusedDeletionPassedOver", "10.1.0.0", "255.255.0.0", "192.168.1.1", true},
    {"RowAfterRefusalDeleted", "10.2.0.0", "255.255.0.0", "192.168.1.1", true},
};

TEST_F(RoutesTest, FlushDeletesStaleRowsOfOneSnapshotAndKeepsTheRest) {
  std::vector<std::string> deleted;
  std::string expectedLog = "Flushing route table\n";
  for (const FlushCase& c : flushCases) {
    ForwardRow row = FakeForwardTable::route(ip(c.destination), ip(c.mask), ip(c.nextHop), lanIndex);
    table.rows.push_back(row);
    if (!c.deleted) continue;
    deleted.push_back(c.name);
    expectedLog += line(row);
  }
  table.refuseDeletion = true;
  table.refusedDestination = ip("10.1.0.0");

  ASSERT_TRUE(flushRouteTable(table, &record));
  EXPECT_EQ(log.text(), expectedLog + "Flush Done\n");
  auto nameOf = [](const ForwardRow& row) {
    for (const FlushCase& c : flushCases) {
      if (row.forwardDest == toNetworkOrder(ip(c.destination)) && row.forwardMask == toNetworkOrder(ip(c.mask))) return std::string(c.name);
    }
    return std::string("?");
  };
  std::vector<std::string> deleteCalls;
  for (const ForwardRow& row : table.deleteCalls) deleteCalls.push_back(nameOf(row));
  EXPECT_EQ(deleteCalls, deleted);
  std::vector<std::string> left;
  for (const ForwardRow& row : table.rows) left.push_back(nameOf(row));
  std::vector<std::string> expectedLeft = {"DefaultRouteKept", "TunnelSubnetOwnRouteKept", "TunnelHostRouteKept",
                                           "OtherLanHopKept", "LanSubnetKept", "RefusedDeletionPassedOver"};
  EXPECT_EQ(left, expectedLeft);
}

TEST_F(RoutesTest, FlushDeletesTheRowAsRead) {
  ForwardRow row = FakeForwardTable::route(ip("10.0.0.0"), ip("255.0.0.0"), ip("192.168.1.1"), lanIndex, 35);
  row.forwardProto = 2;
  row.forwardAge = 1234;
  table.rows.push_back(row);
  ASSERT_TRUE(flushRouteTable(table, &record));
  ASSERT_EQ(table.deleteCalls.size(), 1u);
  EXPECT_EQ(std::memcmp(&table.deleteCalls[0], &row, sizeof row), 0);
}

TEST_F(RoutesTest, FlushWithoutARecordDoesNothing) {
  table.rows.push_back(FakeForwardTable::route(ip("10.0.0.0"), ip("255.0.0.0"), ip("192.168.1.1"), lanIndex));
  EXPECT_TRUE(flushRouteTable(table, nullptr));
  EXPECT_EQ(table.tableReads, 0);
  EXPECT_TRUE(table.deleteCalls.empty());
  EXPECT_EQ(log.text(), "");
}

struct ReadCase {
  const char* name;
  int failReadAt;
  uint32_t readFailure;
  int growths;
  bool readable;
};

const ReadCase readCases[] = {
    {"SizingCallFails", 1, 50, 0, false},
    // The sizing call must report a size it could not fill.
    {"SizingCallSucceeds", 1, winerror::noError, 0, false},
    {"ReadCallFails", 2, 8, 0, false},
    {"GrowsOnceBetweenTheCalls", 0, 0, 1, true},
    {"GrowsThreeTimes", 0, 0, 3, true},
    {"KeepsGrowing", 0, 0, 1000, false},
};

TEST_F(RoutesTest, TableReadsForFlushAndDefaultGateway) {
  for (const ReadCase& c : readCases) {
    SCOPED_TRACE(c.name);
    for (bool forFlush : {true, false}) {
      FakeForwardTable fresh;
      fresh.rows.push_back(FakeForwardTable::route(0, 0, ip("192.168.1.1"), lanIndex));
      fresh.rows.push_back(FakeForwardTable::route(ip("10.0.0.0"), ip("255.0.0.0"), ip("192.168.1.1"), lanIndex));
      fresh.failReadAt = c.failReadAt;
      fresh.readFailure = c.readFailure;
      fresh.growthsLeft = c.growths;
      fresh.growthNextHop = record.defaultGateway;
      CapturedDebugLog quiet;
      if (forFlush) {
        EXPECT_EQ(flushRouteTable(fresh, &record), c.readable);
        EXPECT_EQ(quiet.text().find("Flush Done") != std::string::npos, c.readable);
        // The row added last (on the final sizing call) is part of the snapshot.
        if (c.readable) {
          EXPECT_EQ(fresh.deleteCalls.size(), 1u + c.growths);
        }
      } else if (c.readable) {
        EXPECT_EQ(defaultGateway(fresh), ip("192.168.1.1"));
      } else {
        EXPECT_THROW(defaultGateway(fresh), std::runtime_error);
      }
      EXPECT_LE(fresh.tableReads, 8) << "bounded";
    }
  }
}

TEST_F(RoutesTest, AnEmptyRouteListWritesNothing) {
  EXPECT_TRUE(writeRouteTable(table, {}, vpnGateway, record));
  EXPECT_TRUE(table.createCalls.empty());
  EXPECT_EQ(log.text(), "Writing route table\nWriting done\n");
}

TEST_F(RoutesTest, RowsGoThroughTheTunnelOrTheGatewayOfTheRecord) {
  // The gateway in place now differs from the one the record kept.
  table.rows.push_back(FakeForwardTable::route(0, 0, ip("192.168.1.254"), lanIndex));
  const std::vector<RouteEntry> routes = {{ip("203.0.113.7"), 0xFFFFFFFF, 0}, {ip("198.51.100.0"), ip("255.255.255.0"), 1}};
  ASSERT_TRUE(writeRouteTable(table, routes, vpnGateway, record));
  ASSERT_EQ(table.createCalls.size(), 2u);
  const ForwardRow& direct = table.createCalls[0];
  const ForwardRow& tunnelled = table.createCalls[1];
  EXPECT_EQ(fromNetworkOrder(direct.forwardNextHop), record.defaultGateway);
  EXPECT_EQ(direct.forwardIfIndex, lanIndex);
  EXPECT_EQ(fromNetworkOrder(tunnelled.forwardNextHop), vpnGateway);
  EXPECT_EQ(tunnelled.forwardIfIndex, tapIndex);
  for (const ForwardRow& row : table.createCalls) {
    EXPECT_EQ(row.forwardPolicy, 0u);
    EXPECT_EQ(row.forwardType, 4u);
    EXPECT_EQ(row.forwardProto, 3u);
    EXPECT_EQ(row.forwardAge, 0u);
    EXPECT_EQ(row.forwardNextHopAS, 0u);
    EXPECT_EQ(row.forwardMetric1, 1u);
    EXPECT_EQ(row.forwardMetric2, 0xFFFFFFFFu);
    EXPECT_EQ(row.forwardMetric3, 0xFFFFFFFFu);
    EXPECT_EQ(row.forwardMetric4, 0xFFFFFFFFu);
    EXPECT_EQ(row.forwardMetric5, 0xFFFFFFFFu);
  }
  EXPECT_EQ(fromNetworkOrder(direct.forwardDest), ip("203.0.113.7"));
  EXPECT_EQ(fromNetworkOrder(tunnelled.forwardMask), ip("255.255.255.0"));
  EXPECT_EQ(log.text(), "Writing route table\n203.0.113.7, 255.255.255.255 => 192.168.1.1[11]\n"
                        "198.51.100.0, 255.255.255.0 => 10.8.0.1[22]\nWriting done\n");
}

TEST_F(RoutesTest, TheMetricThatFirstWorksCarriesOverToLaterRoutes) {
  table.interfaces[0].minimumMetric = 7;
  const std::vector<RouteEntry> routes = {{ip("203.0.113.7"), 0xFFFFFFFF, 0}, {ip("203.0.113.8"), 0xFFFFFFFF, 0},
                                          {ip("198.51.100.0"), ip("255.255.255.0"), 1}};
  ASSERT_TRUE(writeRouteTable(table, routes, vpnGateway, record));
  // The first try at metric 1, then indirect and direct at 1 to 6, then
  // indirect at 7; the later routes go in at 7 at once.
  ASSERT_EQ(table.createCalls.size(), 1u + 12u + 1u + 1u + 1u);
  for (size_t i = 1; i < 13; ++i) {
    EXPECT_EQ(table.createCalls[i].forwardMetric1, 1 + (i - 1) / 2) << i;
    EXPECT_EQ(table.createCalls[i].forwardType, i % 2 ? 4u : 3u) << i;
  }
  ASSERT_EQ(table.rows.size(), 3u);
  for (const ForwardRow& row : table.rows) {
    EXPECT_EQ(row.forwardMetric1, 7u);
    EXPECT_EQ(row.forwardType, 4u);
  }
}

TEST_F(RoutesTest, ARouteAlreadyInTheTableCountsAsWritten) {
  table.rows.push_back(FakeForwardTable::route(ip("203.0.113.7"), 0xFFFFFFFF, record.defaultGateway, lanIndex));
  table.interfaces[1].minimumMetric = 3;
  const std::vector<RouteEntry> routes = {{ip("203.0.113.7"), 0xFFFFFFFF, 0}, {ip("198.51.100.0"), ip("255.255.255.0"), 1},
                                          {ip("198.51.100.0"), ip("255.255.255.0"), 1}};
  ASSERT_TRUE(writeRouteTable(table, routes, vpnGateway, record));
  // One call for the route that exists; the tunnel route climbs to 3 (1 + 2 + 2
  // + 1 calls); its repetition exists at 3 at once.
  EXPECT_EQ(table.createCalls.size(), 1u + 6u + 1u);
  EXPECT_EQ(table.rows.size(), 2u);
  EXPECT_EQ(table.createCalls.back().forwardMetric1, 3u);
}

struct WriteFailureCase {
  const char* name;
  uint32_t lanMinimumMetric;
  uint32_t vpnGateway;
  std::vector<RouteEntry> routes;
  size_t createCalls;
  const char* failureLine;
  const char* rowLine;
};

TEST_F(RoutesTest, WriteFailures) {
  const WriteFailureCase cases[] = {
      {"MetricsRunOut", 0x4001, vpnGateway, {{ip("198.51.100.0"), ip("255.255.255.0"), 1}, {ip("203.0.113.7"), 0xFFFFFFFF, 0}},
       1 + 1 + 2 * 0x4000, "CreateIpForwardEntry exhausted:\n", "203.0.113.7, 255.255.255.255 => 192.168.1.1[11]\n"},
      {"LastMetricStillTried", 0x4000, vpnGateway, {{ip("203.0.113.7"), 0xFFFFFFFF, 0}}, 0, nullptr, nullptr},
      // The tunnel gateway is on no interface and there is no default route.
      {"NoInterfaceForTheNextHop", 1, ip("10.9.0.1"), {{ip("203.0.113.7"), 0xFFFFFFFF, 0}, {ip("198.51.100.0"), ip("255.255.255.0"), 1}},
       1, "GetBestInterface failed:\n", "198.51.100.0, 255.255.255.0 => 10.9.0.1[0]\n"},
  };
  for (const WriteFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeForwardTable fresh;
    addInterfaces(fresh, c.lanMinimumMetric);
    CapturedDebugLog captured;
    const bool written = writeRouteTable(fresh, c.routes, c.vpnGateway, record);
    const std::string text = captured.text();
    if (!c.failureLine) {
      EXPECT_TRUE(written);
      EXPECT_EQ(fresh.rows.back().forwardMetric1, 0x4000u);
      continue;
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(fresh.createCalls.size(), c.createCalls);
    EXPECT_EQ(fresh.rows.size(), 1u) << "the row written before stays";
    const std::string ending = std::string(c.failureLine) + c.rowLine;
    ASSERT_GE(text.size(), ending.size());
    EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
    EXPECT_EQ(text.find("Writing done"), std::string::npos);
  }
}

struct GatewayCase {
  const char* name;
  std::vector<ForwardRow> rows;
  const char* gateway;  // null: throws
  const char* log;
};

TEST(DefaultGatewayTest, LowestMetricFirstListedAmongEquals) {
  using F = FakeForwardTable;
  const GatewayCase cases[] = {
      {"LowerMetricListedSecond",
       {F::route(0, 0, ip("192.168.1.1"), 1, 25), F::route(0, 0, ip("192.168.2.1"), 2, 10)}, "192.168.2.1",
       "Gateway found: 192.168.1.1, metric=25\nGateway found: 192.168.2.1, metric=10\n"},
      {"EqualMetricsFirstWins",
       {F::route(0, 0, ip("192.168.1.1"), 1, 10), F::route(0, 0, ip("192.168.2.1"), 2, 10)}, "192.168.1.1",
       "Gateway found: 192.168.1.1, metric=10\nGateway found: 192.168.2.1, metric=10\n"},
      {"NextHopZeroIgnored", {F::route(0, 0, 0, 1, 1), F::route(0, 0, ip("192.168.2.1"), 2, 50)}, "192.168.2.1",
       "Gateway found: 192.168.2.1, metric=50\n"},
      {"MetricsCompareUnsigned",
       {F::route(0, 0, ip("192.168.1.1"), 1, 0x80000000u), F::route(0, 0, ip("192.168.2.1"), 2, 5)}, "192.168.2.1",
       "Gateway found: 192.168.1.1, metric=2147483648\nGateway found: 192.168.2.1, metric=5\n"},
      {"OnlyRoutesWithDestinationAndMaskZero",
       {F::route(0, ip("128.0.0.0"), ip("192.168.1.1"), 1, 1), F::route(ip("10.0.0.0"), 0, ip("192.168.3.1"), 1, 1),
        F::route(0, 0, ip("192.168.2.1"), 2, 9)},
       "192.168.2.1", "Gateway found: 192.168.2.1, metric=9\n"},
      {"NoDefaultRoute", {F::route(ip("10.0.0.0"), ip("255.0.0.0"), ip("192.168.1.1"), 1, 1)}, nullptr, ""},
      {"EmptyTable", {}, nullptr, ""},
  };
  for (const GatewayCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeForwardTable table;
    table.rows = c.rows;
    CapturedDebugLog log;
    if (c.gateway) {
      EXPECT_EQ(defaultGateway(table), ip(c.gateway));
    } else {
      EXPECT_THROW(defaultGateway(table), std::runtime_error);
    }
    EXPECT_EQ(log.text(), c.log);
  }
}

TEST(NetTextTest, Ipv4ToString) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "0.0.0.0"}, {0x7F000001, "127.0.0.1"}, {0xFFFFFFFF, "255.255.255.255"}, {0x0A00000A, "10.0.0.10"}, {0xC0A80164, "192.168.1.100"},
  };
  for (const auto& c : cases) EXPECT_EQ(ipv4ToString(c.first), c.second);
}

TEST(NetTextTest, QuoteManagementArg) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\\b\"c", "\"a\\\\b\\\"c\""},
      {"", "\"\""},
      {"plain user", "\"plain user\""},
      {"\\\\", "\"\\\\\\\\\""},
      {"\"", "\"\\\"\""},
      // Other bytes, UTF-8 and control characters included, pass unchanged.
      {std::string("\xC3\xA9\t'", 4), std::string("\"\xC3\xA9\t'\"", 6)},
  };
  for (const auto& c : cases) EXPECT_EQ(quoteManagementArg(c.first), c.second) << c.first;
  EXPECT_EQ(quoteManagementArg("a\\b\"c").size(), 9u);
}

TEST(NetTextTest, NetworkOrderIsBigEndianInMemory) {
  const uint32_t value = toNetworkOrder(0x0A080006);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&value);
  EXPECT_EQ(bytes[0], 10);
  EXPECT_EQ(bytes[1], 8);
  EXPECT_EQ(bytes[2], 0);
  EXPECT_EQ(bytes[3], 6);
  EXPECT_EQ(fromNetworkOrder(value), 0x0A080006u);
}

}  // namespace
