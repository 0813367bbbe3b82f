#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>
// clang-format on

#include <string>
#include <vector>

#include "core/Text.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/System.h"
#include "netcfg/Dns.h"
#include "netcfg/win/RegistryDnsRecord.h"
#include "netcfg/win/RegistryDnsSettings.h"
#include "netcfg/win/SystemNetsh.h"
#include "tests/netcfg/FakeForwardTable.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/LoopbackInterface.h"
#include "tests/support/win/SeenFolders.h"
#include "tests/support/win/TestFolder.h"

namespace {

const wchar_t fixtureRoot[] = L"SOFTWARE\\ZavTest\\TcpipInterfaces";
const wchar_t recordKey[] = L"SOFTWARE\\ZavTest\\DnsRecordKey";
constexpr uint32_t missingIndex = 0x7FFF0001;

// The registry fixture: the loopback interface's key under fixtureRoot.
void writeFixture(bool withKey, DWORD type, const std::wstring& value) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, fixtureRoot);
  if (!withKey) return;
  HKEY key = nullptr;
  const std::wstring path = std::wstring(fixtureRoot) + L"\\" + fromUtf8(loopbackGuid());
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | registryViewFlag(), nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  LONG result = ERROR_SUCCESS;
  if (type == REG_SZ) {
    result = RegSetValueExW(key, L"NameServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  } else if (type == REG_DWORD) {
    DWORD number = 0x08080808;
    result = RegSetValueExW(key, L"NameServer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  }
  RegCloseKey(key);
  ASSERT_EQ(result, ERROR_SUCCESS);
}

class DnsWinTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(installSystemTool(netshStandInPath(), L"netsh.exe")); }
  void SetUp() override {
    record_ = uniqueTempPath(L"netsh");
    SetEnvironmentVariableW(L"ZAV_NETSH_RECORD", record_.c_str());
    SetEnvironmentVariableW(L"ZAV_NETSH_EXIT", nullptr);
    SetEnvironmentVariableW(L"ZAV_TOOL_SLEEP_MS", nullptr);
    ASSERT_TRUE(dnsRecord.remove());
    // Both gateways lead to interfaces whose indices Windows knows or not.
    table.addInterface(loopbackIndex(), 0x7F000001, 0xFF000000);
    table.addInterface(missingIndex, 0x0A080006, 0xFFFFFF00);
  }
  void TearDown() override {
    DeleteFileW(record_.c_str());
    SetEnvironmentVariableW(L"ZAV_TOOL_SLEEP_MS", nullptr);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, fixtureRoot);
    dnsRecord.remove();
  }
  std::vector<std::string> recorded() {
    std::vector<std::string> lines;
    if (GetFileAttributesW(record_.c_str()) == INVALID_FILE_ATTRIBUTES) return lines;
    std::string text = readWideFile(record_);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }
  // The tunnel gateway on the missing interface, the default gateway on loopback.
  const VpnInterfaceInfo record{0x0A080006, 0xFFFFFF00, 0x7F000002};
  const uint32_t vpnGateway = 0x0A080001;
  std::wstring record_;
  FakeForwardTable table;
  SystemNetsh netsh;
  RegistryDnsSettings store{fixtureRoot};
  RegistryDnsRecord dnsRecord{recordKey};
};

TEST_F(DnsWinTest, TheSystemNetshGetsBothCommandsAndSetsBackFromTheRegistry) {
  ASSERT_NO_FATAL_FAILURE(writeFixture(true, REG_SZ, L"192.168.1.1,9.9.9.9"));
  const std::string netshPath = toUtf8(joinPath(system32Folder(), L"netsh.exe"));
  const std::string lo = std::to_string(loopbackIndex());
  const std::string missing = std::to_string(missingIndex);
  CapturedDebugLog log;
  // The first command fails, the second succeeds; setting back fails last.
  SetEnvironmentVariableW(L"ZAV_NETSH_EXIT", L"1,0,0,0,3");
  {
    DnsChanger dns(table, netsh, store, dnsRecord);
    dns.setDns(vpnGateway, record);
    EXPECT_EQ(recorded(), (std::vector<std::string>{netshPath + " interface ipv4 set dns " + missing + " static 114.114.114.114",
                                                    netshPath + " interface ipv4 set dns " + lo + " static 114.114.114.114"}));
    EXPECT_EQ(log.text(), "DNS: ok 2\n");
  }
  const std::vector<std::string> lines = recorded();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], netshPath + " interface ipv4 set dns " + missing + " dhcp");
  EXPECT_EQ(lines[3], netshPath + " interface ipv4 set dns " + lo + " static 192.168.1.1");
  EXPECT_EQ(lines[4], netshPath + " interface ipv4 add dns " + lo + " 9.9.9.9");
  EXPECT_EQ(log.text(), "DNS: ok 2\nDNS: restore " + missing + " ok\nDNS: restore " + lo + " failed\nDNS: 1 left in the record\n");
  std::string left;
  EXPECT_EQ(dnsRecord.read(left), DnsRecordStore::Read::found);
  EXPECT_EQ(left, "zav-dns 1\n" + lo + " " + loopbackGuid() + " static 192.168.1.1,9.9.9.9\n");
}

// A netsh that hangs while DNS is set back is ended at the teardown's
// deadline; what it did not set back stays in the record for the next start.
TEST_F(DnsWinTest, SettingBackEndsAtItsDeadlineAndKeepsTheRecord) {
  ASSERT_NO_FATAL_FAILURE(writeFixture(true, REG_SZ, L"192.168.1.1"));
  const std::string lo = std::to_string(loopbackIndex());
  CapturedDebugLog log;
  DnsChangerSeams seams;
  seams.netshBudgetMs = 1500;
  ULONGLONG took = 0;
  {
    DnsChanger dns(table, netsh, store, dnsRecord, seams);
    dns.setDns(vpnGateway, record);
    ASSERT_EQ(recorded().size(), 2u);
    SetEnvironmentVariableW(L"ZAV_TOOL_SLEEP_MS", L"60000");
    const ULONGLONG start = GetTickCount64();
    dns.restore();
    took = GetTickCount64() - start;
  }
  EXPECT_GE(took, 1400u);
  EXPECT_LT(took, 10000u);
  // The first run took the whole budget; the second never started.
  EXPECT_EQ(recorded().size(), 3u);
  std::string left;
  EXPECT_EQ(dnsRecord.read(left), DnsRecordStore::Read::found);
  EXPECT_EQ(left, "zav-dns 1\n" + std::to_string(missingIndex) + " - dhcp\n" + lo + " " + loopbackGuid() +
                      " static 192.168.1.1\n");
  EXPECT_NE(log.text().find("DNS: 2 left in the record\n"), std::string::npos) << log.text();

  // The next start, with a netsh that answers, sets loopback back, found by
  // its GUID; the interface without one is not its to set, and is dropped.
  SetEnvironmentVariableW(L"ZAV_TOOL_SLEEP_MS", nullptr);
  DnsChanger atStart(table, netsh, store, dnsRecord);
  atStart.restoreFromRecord();
  const std::vector<std::string> lines = recorded();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[3].find(" set dns " + lo + " static 192.168.1.1"), std::string::npos) << lines[3];
  EXPECT_EQ(dnsRecord.read(left), DnsRecordStore::Read::none);
  EXPECT_NE(log.text().find("DNS: record: interface " + std::to_string(missingIndex) + " has no identity, dropped\n"),
            std::string::npos)
      << log.text();
}

TEST_F(DnsWinTest, AnInterfaceIsFoundByItsGuid) {
  uint32_t index = 0;
  ASSERT_TRUE(store.currentIndex(loopbackGuid(), index));
  EXPECT_EQ(index, loopbackIndex());
  EXPECT_EQ(store.identity(loopbackIndex()), loopbackGuid());
  EXPECT_EQ(store.identity(missingIndex), "-");
  // No interface has it; no GUID at all; a GUID without its braces.
  const std::string guid = loopbackGuid();
  for (const std::string& text : {std::string("{6DFB667F-9BC9-4FF9-97F9-A9C74ADEB538}"), std::string("-"),
                                  std::string(""), guid.substr(1, guid.size() - 2)}) {
    index = 7;
    EXPECT_FALSE(store.currentIndex(text, index)) << text;
    EXPECT_EQ(index, 7u);
  }
}

TEST_F(DnsWinTest, TheRecordInTheRegistry) {
  std::string text;
  EXPECT_EQ(dnsRecord.read(text), DnsRecordStore::Read::none) << "no key";
  ASSERT_TRUE(dnsRecord.write("zav-dns 1\n7 - dhcp\n"));
  EXPECT_EQ(dnsRecord.read(text), DnsRecordStore::Read::found);
  EXPECT_EQ(text, "zav-dns 1\n7 - dhcp\n");
  EXPECT_TRUE(dnsRecord.remove());
  EXPECT_EQ(dnsRecord.read(text), DnsRecordStore::Read::none) << "the key without the value";
  EXPECT_TRUE(dnsRecord.remove()) << "nothing to remove";
  // A value of another type is unreadable, not taken as text.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, recordKey, 0, nullptr, 0, KEY_SET_VALUE | registryViewFlag(), nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const wchar_t wide[] = L"zav-dns 1\n";
  EXPECT_EQ(RegSetValueExW(key, L"DnsRestore", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide), sizeof wide),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(dnsRecord.read(text), DnsRecordStore::Read::unreadable);
  EXPECT_TRUE(dnsRecord.remove());
  EXPECT_EQ(dnsRecord.read(text), DnsRecordStore::Read::none);
}

// A key that refuses to be read is no sign of a record that isn't there, nor
// of one that is garbled: the read failed, and the record stays.
TEST_F(DnsWinTest, ARecordKeyThatRefusesReadingFailsTheRead) {
  const std::wstring deniedKey = std::wstring(recordKey) + L"Denied";
  RegistryDnsRecord denied(deniedKey);
  ASSERT_TRUE(denied.write("zav-dns 1\n7 - dhcp\n"));
  const auto setAccess = [&deniedKey](const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
      return false;
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, deniedKey.c_str(), 0, WRITE_DAC | registryViewFlag(), &key);
    if (result == ERROR_SUCCESS) {
      result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
      RegCloseKey(key);
    }
    LocalFree(descriptor);
    return result == ERROR_SUCCESS;
  };
  // Everyone is refused reading its values, allowed the rest.
  ASSERT_TRUE(setAccess(L"D:(D;;0x1;;;WD)(A;;KA;;;WD)"));
  std::string text = "left over";
  EXPECT_EQ(denied.read(text), DnsRecordStore::Read::failed);
  EXPECT_EQ(text, "");
  ASSERT_TRUE(setAccess(L"D:(A;;KA;;;WD)"));
  EXPECT_EQ(denied.read(text), DnsRecordStore::Read::found);
  EXPECT_EQ(text, "zav-dns 1\n7 - dhcp\n");
  EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, deniedKey.c_str(), registryViewFlag(), 0), ERROR_SUCCESS);
}

TEST_F(DnsWinTest, ARunPastItsLimitIsEnded) {
  const std::wstring runs = uniqueTempPath(L"runs");
  SetEnvironmentVariableW(L"ZAV_TOOL_RUNS", runs.c_str());
  SetEnvironmentVariableW(L"ZAV_TOOL_SLEEP_MS", L"60000");
  const std::wstring path = netsh.netshPath();
  const ULONGLONG start = GetTickCount64();
  EXPECT_THROW(netsh.run(path, L"netsh.exe interface show interface", 500), NetshTimeout);
  EXPECT_LT(GetTickCount64() - start, 10000u);
  SetEnvironmentVariableW(L"ZAV_TOOL_SLEEP_MS", nullptr);
  EXPECT_EQ(netsh.run(path, L"netsh.exe interface show interface", 10000), 0u);
  SetEnvironmentVariableW(L"ZAV_TOOL_RUNS", nullptr);
  // The ended run never reached its end (on a busy machine it may have been
  // ended before it wrote its start).
  const std::string line = "netsh.exe interface show interface\n";
  const std::string seen = readWideFile(runs);
  EXPECT_TRUE(seen == "start " + line + "start " + line + "end " + line || seen == "start " + line + "end " + line)
      << seen;
  DeleteFileW(runs.c_str());
}

// netsh runs elevated in the system's own folders, never the user's TMP.
TEST_F(DnsWinTest, NetshRunsInTheSystemsFolders) {
  const std::wstring userTemp = uniqueTempPath(L"user temp");
  ASSERT_TRUE(CreateDirectoryW(userTemp.c_str(), nullptr));
  const std::wstring folders = joinPath(userTemp, L"folders.txt");
  SetEnvironmentVariableW(L"ZAV_FOLDERS_RECORD", folders.c_str());
  {
    UserTempFolder user(userTemp);
    EXPECT_EQ(netsh.run(netsh.netshPath(), L"netsh.exe interface show interface", 10000), 0u);
  }
  SetEnvironmentVariableW(L"ZAV_FOLDERS_RECORD", nullptr);
  EXPECT_EQ(readSeenFolders(folders), (SeenFolders{systemTempFolder(), systemTempFolder(), system32Folder()}));
  DeleteFileW(folders.c_str());
  RemoveDirectoryW(userTemp.c_str());
}

struct FixtureCase {
  const char* name;
  bool withKey;
  DWORD type;
  std::wstring value;
  std::vector<std::string> servers;
};

TEST_F(DnsWinTest, RegistrySettingOfAnInterface) {
  const FixtureCase cases[] = {
      {"CommaList", true, REG_SZ, L"8.8.8.8,8.8.4.4", {"8.8.8.8", "8.8.4.4"}},
      {"BlankList", true, REG_SZ, L"1.1.1.1 1.0.0.1", {"1.1.1.1", "1.0.0.1"}},
      {"EmptyValueIsDhcp", true, REG_SZ, L"", {}},
      {"NoValueIsDhcp", true, REG_NONE, L"", {}},
      {"NotTextIsDhcp", true, REG_DWORD, L"", {}},
      {"NoKeyIsDhcp", false, REG_NONE, L"", {}},
  };
  for (const FixtureCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(writeFixture(c.withKey, c.type, c.value));
    EXPECT_EQ(store.read(loopbackIndex()).servers, c.servers);
  }
  ASSERT_NO_FATAL_FAILURE(writeFixture(true, REG_SZ, L"8.8.8.8"));
  EXPECT_TRUE(store.read(missingIndex).servers.empty()) << "an unknown interface is DHCP";
}

}  // namespace
