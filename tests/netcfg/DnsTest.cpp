#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Text.h"
#include "netcfg/Dns.h"
#include "netcfg/NetworkConfig.h"
#include "tests/netcfg/FakeForwardTable.h"
#include "tests/netcfg/TunnelHost.h"
#include "tests/support/DebugLogReader.h"

namespace {

using namespace tunnelhost;

const std::wstring netsh = L"C:\\Windows\\system32\\netsh.exe";

// Records each command line; exit codes and failures to start by call number.
class FakeNetsh : public NetshRunner {
 public:
  std::wstring netshPath() override {
    if (noSystemFolder) throw std::runtime_error("find system32 failed.");
    return netsh;
  }
  uint32_t run(const std::wstring& path, const std::wstring& commandLine) override {
    EXPECT_EQ(path, netsh);
    lines.push_back(toUtf8(commandLine));
    if (alsoInto) alsoInto->push_back(lines.back());
    const size_t call = lines.size();
    if (unstartable.count(call)) throw std::runtime_error("not started");
    return exitCodes.count(call) ? exitCodes[call] : 0;
  }
  bool noSystemFolder = false;
  std::map<size_t, uint32_t> exitCodes;
  std::map<size_t, bool> unstartable;
  std::vector<std::string> lines;
  // Outlives the runner.
  std::vector<std::string>* alsoInto = nullptr;
};

class FakeDnsStore : public DnsSettingsStore {
 public:
  DnsSetting read(uint32_t interfaceIndex) override {
    reads.push_back(interfaceIndex);
    return settings[interfaceIndex];
  }
  std::map<uint32_t, DnsSetting> settings;
  std::vector<uint32_t> reads;
};

const std::string q = "C:\\Windows\\system32\\netsh.exe";

class DnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    addInterfaces(table);
    store.settings[lanIndex] = DnsSetting{{"192.168.1.1", "9.9.9.9"}};
  }
  FakeForwardTable table;
  FakeNetsh netshRunner;
  FakeDnsStore store;
  CapturedDebugLog log;
};

TEST_F(DnsTest, BothInterfacesGetTheFixedResolverTunnelFirst) {
  {
    DnsChanger dns(table, netshRunner, store);
    dns.setDns(vpnGateway, record);
    EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{q + " interface ipv4 set dns 22 static 114.114.114.114",
                                                           q + " interface ipv4 set dns 11 static 114.114.114.114"}));
    EXPECT_EQ(table.bestInterfaceCalls, (std::vector<uint32_t>{toNetworkOrder(vpnGateway), toNetworkOrder(record.defaultGateway)}));
    EXPECT_EQ(log.text(), "DNS: ok 1\nDNS: ok 2\n");
    netshRunner.lines.clear();
  }
  // The destructor sets both back: DHCP for the tunnel, the LAN's own servers.
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{q + " interface ipv4 set dns 22 dhcp",
                                                         q + " interface ipv4 set dns 11 static 192.168.1.1",
                                                         q + " interface ipv4 add dns 11 9.9.9.9"}));
  EXPECT_EQ(log.text(), "DNS: ok 1\nDNS: ok 2\nDNS: restore 22 ok\nDNS: restore 11 ok\n");
}

struct DnsFailureCase {
  const char* name;
  uint32_t vpnGateway;
  uint32_t defaultGateway;
  bool noSystemFolder;
  std::map<size_t, uint32_t> exitCodes;
  std::map<size_t, bool> unstartable;
  std::vector<std::string> setLines;
  const char* log;
};

TEST_F(DnsTest, Failures) {
  const std::string set1 = q + " interface ipv4 set dns 22 static 114.114.114.114";
  const std::string set2 = q + " interface ipv4 set dns 11 static 114.114.114.114";
  const DnsFailureCase cases[] = {
      {"NoRouteToTheTunnelGateway", ip("172.31.0.1"), record.defaultGateway, false, {}, {}, {},
       "DNS: GetBestInterface failed for VPN\n"},
      {"NoRouteToTheDefaultGateway", vpnGateway, ip("172.31.0.1"), false, {}, {}, {},
       "DNS: GetBestInterface failed for DEF\n"},
      {"NoSystemFolder", vpnGateway, record.defaultGateway, true, {}, {}, {}, ""},
      {"FirstExitCodeNotZero", vpnGateway, record.defaultGateway, false, {{1, 1}}, {}, {set1, set2}, "DNS: ok 2\n"},
      {"FirstCannotStartSecondStillRuns", vpnGateway, record.defaultGateway, false, {}, {{1, true}}, {set1, set2},
       "DNS: ok 2\n"},
      {"SecondExitCodeNotZero", vpnGateway, record.defaultGateway, false, {{2, 5}}, {}, {set1, set2}, "DNS: ok 1\n"},
  };
  for (const DnsFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeNetsh runner;
    runner.noSystemFolder = c.noSystemFolder;
    runner.exitCodes = c.exitCodes;
    runner.unstartable = c.unstartable;
    CapturedDebugLog captured;
    VpnInterfaceInfo other = record;
    other.defaultGateway = c.defaultGateway;
    DnsChanger dns(table, runner, store);
    dns.setDns(c.vpnGateway, other);
    EXPECT_EQ(runner.lines, c.setLines);
    EXPECT_EQ(captured.text(), c.log);
    if (c.setLines.empty()) {
      EXPECT_TRUE(store.reads.empty()) << "nothing kept before a change";
    }
    store.reads.clear();
  }
}

TEST_F(DnsTest, OnlyWhatWasChangedIsSetBack) {
  // The tunnel's command could not be started: only the LAN is set back.
  netshRunner.unstartable[1] = true;
  DnsChanger dns(table, netshRunner, store);
  dns.setDns(vpnGateway, record);
  netshRunner.lines.clear();
  dns.restore();
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{q + " interface ipv4 set dns 11 static 192.168.1.1",
                                                         q + " interface ipv4 add dns 11 9.9.9.9"}));
}

TEST_F(DnsTest, ARepeatedChangeKeepsTheFirstSettingAndSetsBackOnce) {
  DnsChanger dns(table, netshRunner, store);
  dns.setDns(vpnGateway, record);
  // What the store would now read is the fixed resolver itself.
  store.settings[lanIndex] = DnsSetting{{"114.114.114.114"}};
  dns.setDns(vpnGateway, record);
  EXPECT_EQ(store.reads, (std::vector<uint32_t>{tapIndex, lanIndex}));
  netshRunner.lines.clear();
  dns.restore();
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{q + " interface ipv4 set dns 22 dhcp",
                                                         q + " interface ipv4 set dns 11 static 192.168.1.1",
                                                         q + " interface ipv4 add dns 11 9.9.9.9"}));
  netshRunner.lines.clear();
  dns.restore();
  EXPECT_TRUE(netshRunner.lines.empty()) << "a second ending sets nothing";
  // A new change after the ending keeps the setting afresh.
  store.settings[lanIndex] = DnsSetting{{"1.1.1.1"}};
  dns.setDns(vpnGateway, record);
  netshRunner.lines.clear();
  dns.restore();
  ASSERT_EQ(netshRunner.lines.size(), 2u);
  EXPECT_EQ(netshRunner.lines[1], q + " interface ipv4 set dns 11 static 1.1.1.1");
}

TEST_F(DnsTest, OneInterfaceForBothIsKeptAndSetBackOnce) {
  store.settings[tapIndex] = DnsSetting{{"10.8.0.1"}};
  VpnInterfaceInfo sameInterface = record;
  sameInterface.defaultGateway = ip("10.8.0.254");
  DnsChanger dns(table, netshRunner, store);
  dns.setDns(vpnGateway, sameInterface);
  EXPECT_EQ(store.reads, (std::vector<uint32_t>{tapIndex}));
  netshRunner.lines.clear();
  dns.restore();
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{q + " interface ipv4 set dns 22 static 10.8.0.1"}));
}

TEST_F(DnsTest, AFailedSettingBackIsLogged) {
  DnsChanger dns(table, netshRunner, store);
  dns.setDns(vpnGateway, record);
  netshRunner.exitCodes[4] = 1;    // set back of the LAN's first server
  netshRunner.unstartable[5] = true;
  dns.restore();
  EXPECT_EQ(netshRunner.lines.size(), 5u) << "every command is tried";
  const std::string text = log.text();
  EXPECT_NE(text.find("DNS: restore 22 ok\nDNS: restore 11 failed\n"), std::string::npos) << text;
}

class FakeMetric : public InterfaceMetric {
 public:
  int setIpConnectionMetric(const AdapterGuid& adapter) override {
    asked = adapter;
    return 12;
  }
  AdapterGuid asked{};
};

TEST(HostNetworkConfigTest, DestroyingTheConfigSetsDnsBackThroughItsOwnSeams) {
  std::vector<std::string> commands;
  auto table = std::make_unique<FakeForwardTable>();
  addInterfaces(*table);
  table->rows.push_back(FakeForwardTable::route(0, 0, record.defaultGateway, lanIndex));
  auto runner = std::make_unique<FakeNetsh>();
  runner->alsoInto = &commands;
  auto metric = std::make_unique<FakeMetric>();
  FakeMetric& metricSeen = *metric;
  CapturedDebugLog log;
  {
    HostNetworkConfig config(std::move(table), std::move(metric), std::move(runner), std::make_unique<FakeDnsStore>());
    EXPECT_EQ(config.defaultGateway(), record.defaultGateway);
    EXPECT_TRUE(config.flushRouteTable(&record));
    EXPECT_EQ(config.setInterfaceMetric(AdapterGuid{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}), 12);
    EXPECT_EQ(metricSeen.asked[15], 16);
    config.setDns(vpnGateway, record);
    EXPECT_TRUE(config.writeRouteTable({{ip("203.0.113.7"), 0xFFFFFFFF, 0}}, vpnGateway, record));
    EXPECT_EQ(commands.size(), 2u);
  }
  EXPECT_EQ(commands, (std::vector<std::string>{q + " interface ipv4 set dns 22 static 114.114.114.114",
                                                q + " interface ipv4 set dns 11 static 114.114.114.114",
                                                q + " interface ipv4 set dns 22 dhcp", q + " interface ipv4 set dns 11 dhcp"}));
}

TEST(NameServersTest, Parse) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"", {}},
      {"8.8.8.8", {"8.8.8.8"}},
      {"8.8.8.8,8.8.4.4", {"8.8.8.8", "8.8.4.4"}},
      {"8.8.8.8 8.8.4.4", {"8.8.8.8", "8.8.4.4"}},
      {" 1.1.1.1 ,, 9.9.9.9 ", {"1.1.1.1", "9.9.9.9"}},
      // Nothing but an address reaches a command line.
      {"1.1.1.1 & calc.exe,010.0.0.1,1.2.3.256,fe80::1", {"1.1.1.1"}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseNameServers(c.first), c.second) << c.first;
}

}  // namespace
