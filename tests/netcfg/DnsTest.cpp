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

// Records each command line and its time limit; exit codes, failures to
// start, runs without an exit code and run times (on the test's clock) by
// call number. A run longer than its limit is ended there, as the system
// runner does.
class FakeNetsh : public NetshRunner {
 public:
  std::wstring netshPath() override {
    if (noSystemFolder) throw std::runtime_error("find system32 failed.");
    return netsh;
  }
  uint32_t run(const std::wstring& path, const std::wstring& commandLine, uint32_t timeoutMs) override {
    EXPECT_EQ(path, netsh);
    lines.push_back(toUtf8(commandLine));
    limits.push_back(timeoutMs);
    if (alsoInto) alsoInto->push_back(lines.back());
    const size_t call = lines.size();
    if (unstartable.count(call)) throw std::runtime_error("not started");
    if (noExitCode.count(call)) throw NetshNoExitCode();
    const uint64_t takes = runTimes.count(call) ? runTimes[call] : 0;
    if (takes > timeoutMs) {
      clock += timeoutMs;
      throw NetshTimeout();
    }
    clock += takes;
    return exitCodes.count(call) ? exitCodes[call] : 0;
  }
  bool noSystemFolder = false;
  std::map<size_t, uint32_t> exitCodes;
  std::map<size_t, bool> unstartable;
  std::map<size_t, bool> noExitCode;
  std::map<size_t, uint64_t> runTimes;
  std::vector<std::string> lines;
  std::vector<uint32_t> limits;
  uint64_t clock = 1000;
  // Outlives the runner.
  std::vector<std::string>* alsoInto = nullptr;
};

// Interface N is "{guid-N}" unless identities names it otherwise.
class FakeDnsStore : public DnsSettingsStore {
 public:
  DnsSetting read(uint32_t interfaceIndex) override {
    reads.push_back(interfaceIndex);
    return settings[interfaceIndex];
  }
  std::string identity(uint32_t interfaceIndex) override {
    return identities.count(interfaceIndex) ? identities[interfaceIndex] : "{guid-" + std::to_string(interfaceIndex) + "}";
  }
  bool currentIndex(const std::string& identity, uint32_t& interfaceIndex) override {
    if (lookupFails) return false;
    for (const auto& named : identities) {
      if (named.second == identity) {
        interfaceIndex = named.first;
        return true;
      }
    }
    const std::string prefix = "{guid-";
    if (identity.size() <= prefix.size() + 1 || identity.compare(0, prefix.size(), prefix) != 0 ||
        identity.back() != '}')
      return false;
    const std::string digits = identity.substr(prefix.size(), identity.size() - prefix.size() - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const uint32_t index = static_cast<uint32_t>(std::stoul(digits));
    if (identities.count(index)) return false;
    interfaceIndex = index;
    return true;
  }
  std::map<uint32_t, DnsSetting> settings;
  std::map<uint32_t, std::string> identities;
  bool lookupFails = false;
  std::vector<uint32_t> reads;
};

// The record in memory; each write noted with the netsh lines run before it.
class FakeDnsRecord : public DnsRecordStore {
 public:
  explicit FakeDnsRecord(const FakeNetsh* netsh = nullptr) : netsh_(netsh) {}
  Read read(std::string& out) override {
    out = readFails ? "" : text;
    if (readFails) return Read::failed;
    return unreadable ? Read::unreadable : present ? Read::found : Read::none;
  }
  bool write(const std::string& written) override {
    writes.push_back({written, netsh_ ? netsh_->lines.size() : 0});
    if (failWrite) return false;
    text = written;
    present = true;
    unreadable = false;
    return true;
  }
  bool remove() override {
    ++removals;
    text.clear();
    present = false;
    unreadable = false;
    return true;
  }
  std::string text;
  bool present = false;
  bool unreadable = false;
  bool readFails = false;
  bool failWrite = false;
  std::vector<std::pair<std::string, size_t>> writes;
  int removals = 0;

 private:
  const FakeNetsh* netsh_;
};

const std::string q = "C:\\Windows\\system32\\netsh.exe";
const std::string setTap = q + " interface ipv4 set dns 22 static 114.114.114.114";
const std::string setLan = q + " interface ipv4 set dns 11 static 114.114.114.114";
const std::string backTap = q + " interface ipv4 set dns 22 dhcp";
const std::string backLan1 = q + " interface ipv4 set dns 11 static 192.168.1.1";
const std::string backLan2 = q + " interface ipv4 add dns 11 9.9.9.9";
const std::string bothRecorded = "zav-dns 1\n22 {guid-22} dhcp\n11 {guid-11} static 192.168.1.1,9.9.9.9\n";

class DnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    addInterfaces(table);
    store.settings[lanIndex] = DnsSetting{{"192.168.1.1", "9.9.9.9"}};
  }
  DnsChangerSeams seams() {
    DnsChangerSeams seams;
    seams.nowMs = [this] { return netshRunner.clock; };
    return seams;
  }
  FakeForwardTable table;
  FakeNetsh netshRunner;
  FakeDnsStore store;
  FakeDnsRecord dnsRecord{&netshRunner};
  CapturedDebugLog log;
};

TEST_F(DnsTest, BothInterfacesGetTheFixedResolverTunnelFirst) {
  {
    DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
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
    FakeDnsRecord kept;
    DnsChanger dns(table, runner, store, kept);
    dns.setDns(c.vpnGateway, other);
    EXPECT_EQ(runner.lines, c.setLines);
    EXPECT_EQ(captured.text(), c.log);
    if (c.setLines.empty()) {
      EXPECT_TRUE(store.reads.empty()) << "nothing kept before a change";
    }
    store.reads.clear();
  }
}

struct ChangedCase {
  const char* name;
  std::map<size_t, uint32_t> exitCodes;
  std::map<size_t, bool> unstartable;
  std::map<size_t, bool> noExitCode;
  bool tapSetBack;
};

// However the tunnel's command ended, once started it may have changed DNS.
TEST_F(DnsTest, OnlyWhatWasChangedIsSetBack) {
  const ChangedCase cases[] = {
      {"NotStarted", {}, {{1, true}}, {}, false},
      {"ExitCodeNotZero", {{1, 1}}, {}, {}, true},
      {"StartedWithoutExitCode", {}, {}, {{1, true}}, true},
  };
  for (const ChangedCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeNetsh runner;
    runner.exitCodes = c.exitCodes;
    runner.unstartable = c.unstartable;
    runner.noExitCode = c.noExitCode;
    FakeDnsRecord kept;
    DnsChanger dns(table, runner, store, kept);
    dns.setDns(vpnGateway, record);
    ASSERT_EQ(runner.lines, (std::vector<std::string>{setTap, setLan}));
    runner.lines.clear();
    runner.exitCodes.clear();
    runner.unstartable.clear();
    runner.noExitCode.clear();
    dns.restore();
    std::vector<std::string> back = {backLan1, backLan2};
    if (c.tapSetBack) back.insert(back.begin(), backTap);
    EXPECT_EQ(runner.lines, back);
    EXPECT_FALSE(kept.present);
  }
}

TEST_F(DnsTest, ARepeatedChangeKeepsTheFirstSettingAndSetsBackOnce) {
  DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
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
  DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
  dns.setDns(vpnGateway, sameInterface);
  EXPECT_EQ(store.reads, (std::vector<uint32_t>{tapIndex}));
  netshRunner.lines.clear();
  dns.restore();
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{q + " interface ipv4 set dns 22 static 10.8.0.1"}));
}

TEST_F(DnsTest, AFailedSettingBackIsLogged) {
  DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
  dns.setDns(vpnGateway, record);
  netshRunner.exitCodes[4] = 1;    // set back of the LAN's first server
  netshRunner.unstartable[5] = true;
  dns.restore();
  EXPECT_EQ(netshRunner.lines.size(), 5u) << "every command is tried";
  const std::string text = log.text();
  EXPECT_NE(text.find("DNS: restore 22 ok\nDNS: restore 11 failed\n"), std::string::npos) << text;
}

TEST_F(DnsTest, TheRecordIsWrittenBeforeTheFirstChangeAndRemovedOnceAllIsBack) {
  {
    DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
    dns.setDns(vpnGateway, record);
    ASSERT_EQ(dnsRecord.writes.size(), 1u);
    EXPECT_EQ(dnsRecord.writes[0].first, bothRecorded);
    EXPECT_EQ(dnsRecord.writes[0].second, 0u) << "written before any netsh run";
    // A repeated change adds no interface, so nothing new to record.
    dns.setDns(vpnGateway, record);
    EXPECT_EQ(dnsRecord.writes.size(), 1u);
    EXPECT_EQ(dnsRecord.removals, 0);
  }
  EXPECT_FALSE(dnsRecord.present);
  EXPECT_EQ(dnsRecord.removals, 1);
}

TEST_F(DnsTest, NoChangeWithoutARecord) {
  dnsRecord.failWrite = true;
  DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
  dns.setDns(vpnGateway, record);
  EXPECT_TRUE(netshRunner.lines.empty());
  EXPECT_EQ(log.text(), "DNS: record not written, DNS left as it is\n");
  dns.restore();
  EXPECT_TRUE(netshRunner.lines.empty()) << "nothing to set back";
}

TEST_F(DnsTest, SettingBackSharesOneDeadlineAndWhatMissesItStaysInTheRecord) {
  DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
  dns.setDns(vpnGateway, record);
  EXPECT_EQ(netshRunner.limits, (std::vector<uint32_t>{20000, 20000}));
  // Setting back: the tunnel's run takes 15 s, the LAN's first hangs until
  // the deadline 5 s later, and its second is never started.
  netshRunner.runTimes[3] = 15000;
  netshRunner.runTimes[4] = 60000;
  dns.restore();
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{setTap, setLan, backTap, backLan1}));
  EXPECT_EQ(netshRunner.limits, (std::vector<uint32_t>{20000, 20000, 20000, 5000}));
  EXPECT_EQ(netshRunner.clock, 1000u + 20000u);
  EXPECT_NE(log.text().find("DNS: restore 22 ok\nDNS: restore 11 failed\nDNS: 1 left in the record\n"),
            std::string::npos)
      << log.text();
  EXPECT_EQ(dnsRecord.text, "zav-dns 1\n11 {guid-11} static 192.168.1.1,9.9.9.9\n");

  // The next start sets the rest back and removes the record.
  netshRunner.lines.clear();
  FakeDnsStore laterStore;
  DnsChanger atStart(table, netshRunner, laterStore, dnsRecord, seams());
  atStart.restoreFromRecord();
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{backLan1, backLan2}));
  EXPECT_TRUE(laterStore.reads.empty()) << "the record, not the interface, tells its own setting";
  EXPECT_FALSE(dnsRecord.present);
}

// An earlier run ended without setting the LAN back; what the LAN now has is
// the fixed resolver. The next attempt takes the recorded setting as the LAN's
// own, also when the lookup by identity fails (the LAN is then still known by
// its identity).
TEST_F(DnsTest, TheNextAttemptTakesTheRecordNotTheResolverItFindsAsTheInterfacesOwn) {
  struct Case {
    const char* name;
    bool lookupFails;
    const char* recordDuring;
    std::vector<std::string> setBack;
  };
  const Case cases[] = {
      {"found by identity", false, "zav-dns 1\n11 {guid-11} static 192.168.1.1,9.9.9.9\n22 {guid-22} dhcp\n",
       {backLan1, backLan2, backTap}},
      {"lookup failed", true, "zav-dns 1\n22 {guid-22} dhcp\n11 {guid-11} static 192.168.1.1,9.9.9.9\n",
       {backTap, backLan1, backLan2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dnsRecord.write("zav-dns 1\n11 {guid-11} static 192.168.1.1,9.9.9.9\n");
    store.settings[lanIndex] = DnsSetting{{"114.114.114.114"}};
    store.reads.clear();
    store.lookupFails = c.lookupFails;
    netshRunner.lines.clear();
    {
      DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
      dns.setDns(vpnGateway, record);
      EXPECT_EQ(store.reads, std::vector<uint32_t>{tapIndex});
      EXPECT_EQ(dnsRecord.text, c.recordDuring);
      netshRunner.lines.clear();
    }
    EXPECT_EQ(netshRunner.lines, c.setBack);
    EXPECT_FALSE(dnsRecord.present);
  }
}

// An attempt whose changer never sets anything back, as when the client is
// killed with the tunnel up: both interfaces keep the fixed resolver and the
// record holds their own settings.
void killedWithDnsSet(FakeForwardTable& table, FakeDnsStore& store, FakeDnsRecord& dnsRecord) {
  FakeNetsh runner;
  {
    DnsChanger killed(table, runner, store, dnsRecord);
    killed.setDns(vpnGateway, record);
    runner.noSystemFolder = true;
  }
  ASSERT_EQ(runner.lines, (std::vector<std::string>{setTap, setLan}));
  ASSERT_EQ(dnsRecord.text, bothRecorded);
  store.settings[tapIndex] = DnsSetting{{"114.114.114.114"}};
  store.settings[lanIndex] = DnsSetting{{"114.114.114.114"}};
  store.reads.clear();
}

std::string setBack(uint32_t index, const std::string& rest) {
  return q + " interface ipv4 set dns " + std::to_string(index) + " " + rest;
}

// After the kill a restart renumbered the interfaces: the LAN adapter is 33
// now and 11 names another one.
TEST_F(DnsTest, ARecordedInterfaceIsSetBackAtTheIndexItHasNow) {
  ASSERT_NO_FATAL_FAILURE(killedWithDnsSet(table, store, dnsRecord));
  store.identities[lanIndex] = "{usb}";
  store.identities[33] = "{guid-11}";
  store.settings[33] = store.settings[lanIndex];
  const std::vector<std::string> lanBackAt33 = {setBack(33, "static 192.168.1.1"),
                                                q + " interface ipv4 add dns 33 9.9.9.9"};

  // At the next start.
  {
    FakeDnsRecord left = dnsRecord;
    FakeNetsh runner;
    CapturedDebugLog captured;
    DnsChanger atStart(table, runner, store, left);
    atStart.restoreFromRecord();
    EXPECT_EQ(runner.lines, (std::vector<std::string>{backTap, lanBackAt33[0], lanBackAt33[1]}));
    EXPECT_FALSE(left.present);
    EXPECT_EQ(captured.text(),
              "DNS: record: interface 11 is now 33\nDNS: setting back what an earlier run left: 2\n"
              "DNS: restore 22 ok\nDNS: restore 33 ok\n");
  }
  // Or, with nothing set back at the start, at the next attempt: the record,
  // not the resolver the LAN has now, tells its own setting.
  FakeForwardTable renumbered;
  renumbered.addInterface(33, ip("192.168.1.20"), ip("255.255.255.0"));
  renumbered.addInterface(tapIndex, record.ip, record.mask);
  FakeNetsh runner;
  {
    DnsChanger next(renumbered, runner, store, dnsRecord);
    next.setDns(vpnGateway, record);
    EXPECT_EQ(runner.lines, (std::vector<std::string>{setTap, setBack(33, "static 114.114.114.114")}));
    EXPECT_EQ(dnsRecord.text, bothRecorded) << "nothing new to record";
    EXPECT_TRUE(store.reads.empty()) << "every own setting comes from the record";
    runner.lines.clear();
  }
  EXPECT_EQ(runner.lines, (std::vector<std::string>{backTap, lanBackAt33[0], lanBackAt33[1]}));
  EXPECT_FALSE(dnsRecord.present);
}

// The LAN adapter is unplugged at the next start and back (at another index)
// at the one after; meanwhile Wi-Fi took its old index.
TEST_F(DnsTest, AnAbsentAdapterStaysInTheRecordUntilAStartFindsIt) {
  ASSERT_NO_FATAL_FAILURE(killedWithDnsSet(table, store, dnsRecord));
  const std::string lanOnly = "zav-dns 1\n11 {guid-11} static 192.168.1.1,9.9.9.9\n";
  store.identities[lanIndex] = "{wifi}";
  store.settings[lanIndex] = DnsSetting{{"10.1.1.1"}};
  {
    FakeNetsh runner;
    CapturedDebugLog captured;
    DnsChanger atStart(table, runner, store, dnsRecord);
    atStart.restoreFromRecord();
    EXPECT_EQ(runner.lines, (std::vector<std::string>{backTap}));
    EXPECT_EQ(dnsRecord.text, lanOnly);
    EXPECT_EQ(captured.text(),
              "DNS: record: interface 11 is gone, left\nDNS: setting back what an earlier run left: 1\n"
              "DNS: restore 22 ok\nDNS: 1 left in the record\n");
  }
  // An attempt over Wi-Fi carries the absent adapter through every rewrite;
  // its old index is Wi-Fi's now, and one index names one interface only.
  store.settings[tapIndex] = DnsSetting{};
  {
    FakeNetsh runner;
    DnsChanger attempt(table, runner, store, dnsRecord);
    attempt.setDns(vpnGateway, record);
    std::vector<DnsRecordEntry> entries;
    ASSERT_TRUE(parseDnsRecord(dnsRecord.text, entries)) << dnsRecord.text;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(formatDnsRecord({entries[0], entries[1]}), "zav-dns 1\n22 {guid-22} dhcp\n11 {wifi} static 10.1.1.1\n");
    EXPECT_EQ(entries[2].identity, "{guid-11}");
    EXPECT_EQ(entries[2].setting.servers, (std::vector<std::string>{"192.168.1.1", "9.9.9.9"}));
    runner.lines.clear();
    attempt.restore();
    EXPECT_EQ(runner.lines, (std::vector<std::string>{backTap, setBack(lanIndex, "static 10.1.1.1")}));
    EXPECT_EQ(dnsRecord.text, lanOnly);
  }
  store.identities[33] = "{guid-11}";
  FakeNetsh runner;
  DnsChanger atStart(table, runner, store, dnsRecord);
  atStart.restoreFromRecord();
  EXPECT_EQ(runner.lines,
            (std::vector<std::string>{setBack(33, "static 192.168.1.1"), q + " interface ipv4 add dns 33 9.9.9.9"}));
  EXPECT_FALSE(dnsRecord.present);
}

// Absent adapters never push the record past what the next start reads.
TEST_F(DnsTest, ARecordFullOfAbsentAdaptersTakesNoMoreAndNothingChanges) {
  std::string full = "zav-dns 1\n";
  for (size_t i = 0; i < dnsRecordLimit; ++i)
    full += std::to_string(100 + i) + " {gone-" + std::to_string(i) + "} dhcp\n";
  dnsRecord.write(full);
  DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
  dns.setDns(vpnGateway, record);
  EXPECT_TRUE(netshRunner.lines.empty());
  EXPECT_EQ(dnsRecord.text, full);
  EXPECT_NE(log.text().find("DNS: record not written, DNS left as it is\n"), std::string::npos) << log.text();
}

// An interface without an identity is known only by its index, which a later
// start may give another interface: only the changer that recorded it sets it
// back.
TEST_F(DnsTest, AnInterfaceWithoutIdentityIsSetBackOnlyByItsOwnChanger) {
  store.identities[tapIndex] = "-";
  DnsChanger own(table, netshRunner, store, dnsRecord, seams());
  own.setDns(vpnGateway, record);
  EXPECT_EQ(dnsRecord.text, "zav-dns 1\n22 - dhcp\n11 {guid-11} static 192.168.1.1,9.9.9.9\n");
  netshRunner.exitCodes[3] = 1;
  own.restore();
  EXPECT_EQ(dnsRecord.text, "zav-dns 1\n22 - dhcp\n");
  netshRunner.exitCodes.clear();
  // The same changer's next attempt takes it back as its own.
  own.setDns(vpnGateway, record);
  netshRunner.lines.clear();
  own.restore();
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{backTap, backLan1, backLan2}));
  EXPECT_FALSE(dnsRecord.present);

  // Another changer, as at a later start or attempt, drops it unset.
  dnsRecord.write("zav-dns 1\n22 - static 10.8.0.1\n");
  store.settings[tapIndex] = DnsSetting{{"10.8.0.53"}};
  FakeNetsh runner;
  CapturedDebugLog captured;
  {
    DnsChanger later(table, runner, store, dnsRecord);
    later.setDns(vpnGateway, record);
    EXPECT_EQ(dnsRecord.text, "zav-dns 1\n22 - static 10.8.0.53\n11 {guid-11} static 192.168.1.1,9.9.9.9\n");
    runner.lines.clear();
  }
  EXPECT_EQ(runner.lines, (std::vector<std::string>{setBack(tapIndex, "static 10.8.0.53"), backLan1, backLan2}));
  EXPECT_NE(captured.text().find("DNS: record: interface 22 has no identity, dropped\n"), std::string::npos)
      << captured.text();
}

struct LeftRecordCase {
  const char* name;
  std::string text;
  DnsRecordStore::Read read;
  std::vector<std::string> lines;
  const char* log;
  // Empty: removed.
  std::string left;
};

TEST_F(DnsTest, AtStartWhatARecordStillHoldsIsSetBack) {
  const DnsRecordStore::Read found = DnsRecordStore::Read::found;
  const DnsRecordStore::Read unreadable = DnsRecordStore::Read::unreadable;
  const DnsRecordStore::Read failed = DnsRecordStore::Read::failed;
  const std::string otherGone = "zav-dns 1\n22 {other} dhcp\n";
  const LeftRecordCase cases[] = {
      {"BothLeft", bothRecorded, found, {backTap, backLan1, backLan2},
       "DNS: setting back what an earlier run left: 2\nDNS: restore 22 ok\nDNS: restore 11 ok\n", ""},
      // Index 22 may name another interface now (after a restart).
      {"IdentityUnknownThen", "zav-dns 1\n22 - dhcp\n11 {guid-11} static 192.168.1.1\n", found, {backLan1},
       "DNS: record: interface 22 has no identity, dropped\nDNS: setting back what an earlier run left: 1\n"
       "DNS: restore 11 ok\n",
       ""},
      // No interface has the identity recorded for 22 now.
      {"AdapterAbsent", otherGone + "11 {guid-11} static 192.168.1.1\n", found, {backLan1},
       "DNS: record: interface 22 is gone, left\nDNS: setting back what an earlier run left: 1\nDNS: restore 11 ok\n"
       "DNS: 1 left in the record\n",
       otherGone},
      {"AllAbsent", otherGone, found, {}, "DNS: record: interface 22 is gone, left\nDNS: 1 left in the record\n",
       otherGone},
      {"Empty", "zav-dns 1\n", found, {}, "", ""},
      {"Garbled", "zav-dns 1\n22 {guid-22} static 1.2.3.4 & calc\n", found, {}, "DNS: record unreadable, removed\n",
       ""},
      {"UnreadableValue", "", unreadable, {}, "DNS: record unreadable, removed\n", ""},
      // Whatever it holds, it is the only copy of the own settings.
      {"NotRead", bothRecorded, failed, {}, "DNS: record not read, kept for the next start\n", bothRecorded},
  };
  for (const LeftRecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeNetsh runner;
    FakeDnsRecord left;
    left.text = c.text;
    left.present = true;
    left.unreadable = c.read == unreadable;
    left.readFails = c.read == failed;
    CapturedDebugLog captured;
    {
      DnsChanger dns(table, runner, store, left);
      dns.restoreFromRecord();
      EXPECT_EQ(runner.lines, c.lines);
      EXPECT_EQ(left.present, !c.left.empty());
      EXPECT_EQ(left.text, c.left);
    }
    EXPECT_EQ(runner.lines, c.lines) << "nothing more when the changer ends";
    EXPECT_EQ(left.text, c.left);
    EXPECT_EQ(captured.text(), c.log);
  }
  // No record: nothing runs, nothing is logged.
  FakeNetsh runner;
  FakeDnsRecord none;
  CapturedDebugLog captured;
  DnsChanger dns(table, runner, store, none);
  dns.restoreFromRecord();
  EXPECT_TRUE(runner.lines.empty());
  EXPECT_EQ(none.removals, 0);
  EXPECT_EQ(captured.text(), "");
}

// A record that is there but can't be read is the only copy of the own
// settings: no attempt overwrites it, and a later start still finds it.
TEST_F(DnsTest, ARecordThatCannotBeReadIsKeptAndDnsLeftAsItIs) {
  dnsRecord.write(bothRecorded);
  dnsRecord.writes.clear();
  dnsRecord.readFails = true;
  {
    DnsChanger dns(table, netshRunner, store, dnsRecord, seams());
    dns.setDns(vpnGateway, record);
    EXPECT_TRUE(netshRunner.lines.empty());
  }
  EXPECT_TRUE(netshRunner.lines.empty()) << "nothing to set back";
  EXPECT_TRUE(dnsRecord.writes.empty());
  EXPECT_EQ(dnsRecord.removals, 0);
  EXPECT_EQ(log.text(), "DNS: record not read, DNS left as it is\n");

  dnsRecord.readFails = false;
  DnsChanger atStart(table, netshRunner, store, dnsRecord, seams());
  atStart.restoreFromRecord();
  EXPECT_EQ(netshRunner.lines, (std::vector<std::string>{backTap, backLan1, backLan2}));
  EXPECT_FALSE(dnsRecord.present);
}

TEST(DnsRecordTest, FormatAndParse) {
  const std::vector<DnsRecordEntry> entries = {{22, "{guid-22}", {}}, {11, "-", {{"192.168.1.1", "9.9.9.9"}}},
                                               {4294967295u, "x", {{"1.2.3.4"}}}};
  const std::string text = "zav-dns 1\n22 {guid-22} dhcp\n11 - static 192.168.1.1,9.9.9.9\n4294967295 x static 1.2.3.4\n";
  EXPECT_EQ(formatDnsRecord(entries), text);
  std::vector<DnsRecordEntry> parsed;
  ASSERT_TRUE(parseDnsRecord(text, parsed));
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[1].interfaceIndex, 11u);
  EXPECT_EQ(parsed[1].identity, "-");
  EXPECT_EQ(parsed[1].setting.servers, entries[1].setting.servers);
  EXPECT_EQ(parsed[2].interfaceIndex, 4294967295u);
  EXPECT_TRUE(parseDnsRecord("zav-dns 1\n", parsed));
  EXPECT_TRUE(parsed.empty());

  std::string full = "zav-dns 1\n";
  for (size_t i = 0; i < dnsRecordLimit; ++i) full += std::to_string(i + 1) + " - dhcp\n";
  EXPECT_TRUE(parseDnsRecord(full, parsed));
  const std::pair<const char*, std::string> refused[] = {
      {"Nothing", ""},
      {"OtherVersion", "zav-dns 2\n"},
      {"HeaderNotEnded", "zav-dns 1"},
      {"LineNotEnded", "zav-dns 1\n22 - dhcp"},
      {"CarriageReturn", "zav-dns 1\r\n"},
      {"EmptyLine", "zav-dns 1\n\n"},
      {"NoIdentity", "zav-dns 1\n22 dhcp\n"},
      {"LeadingZero", "zav-dns 1\n022 - dhcp\n"},
      {"IndexTooLarge", "zav-dns 1\n4294967296 - dhcp\n"},
      {"NegativeIndex", "zav-dns 1\n-1 - dhcp\n"},
      {"SameIndexTwice", "zav-dns 1\n22 - dhcp\n22 - static 1.1.1.1\n"},
      {"IdentityTooLong", "zav-dns 1\n22 " + std::string(65, 'a') + " dhcp\n"},
      {"TwoBlanks", "zav-dns 1\n22  - dhcp\n"},
      {"UnknownSetting", "zav-dns 1\n22 - none\n"},
      {"StaticWithoutServers", "zav-dns 1\n22 - static \n"},
      {"ServerNotAnAddress", "zav-dns 1\n22 - static 1.1.1.1 & calc.exe\n"},
      {"ServerNotInItsOneForm", "zav-dns 1\n22 - static 010.0.0.1\n"},
      {"EmptyServer", "zav-dns 1\n22 - static 1.1.1.1,\n"},
      {"BlankAfterComma", "zav-dns 1\n22 - static 1.1.1.1, 9.9.9.9\n"},
      {"TooManyLines", full + "999 - dhcp\n"},
      {"NulInside", std::string("zav-dns 1\n22 -\0 dhcp\n", 21)},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.first);
    parsed.assign(1, DnsRecordEntry{});
    EXPECT_FALSE(parseDnsRecord(c.second, parsed));
    EXPECT_TRUE(parsed.empty());
  }
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
    HostNetworkConfig config(std::move(table), std::move(metric), std::move(runner), std::make_unique<FakeDnsStore>(),
                             std::make_unique<FakeDnsRecord>());
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
