#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <string>
#include <vector>

#include "core/Text.h"
#include "core/win/System.h"
#include "netcfg/Dns.h"
#include "netcfg/win/RegistryDnsSettings.h"
#include "netcfg/win/SystemNetsh.h"
#include "tests/netcfg/FakeForwardTable.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/TestFolder.h"

namespace {

const wchar_t fixtureRoot[] = L"SOFTWARE\\ZavTest\\TcpipInterfaces";
constexpr uint32_t missingIndex = 0x7FFF0001;

uint32_t loopbackIndex() {
  DWORD index = 0;
  EXPECT_EQ(GetBestInterface(htonl(INADDR_LOOPBACK), &index), static_cast<DWORD>(NO_ERROR));
  return index;
}

std::wstring loopbackGuid() {
  NET_LUID luid;
  GUID guid;
  EXPECT_EQ(ConvertInterfaceIndexToLuid(loopbackIndex(), &luid), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(ConvertInterfaceLuidToGuid(&luid, &guid), static_cast<DWORD>(NO_ERROR));
  return fromUtf8(guidToString(guid));
}

// The registry fixture: the loopback interface's key under fixtureRoot.
void writeFixture(bool withKey, DWORD type, const std::wstring& value) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, fixtureRoot);
  if (!withKey) return;
  HKEY key = nullptr;
  const std::wstring path = std::wstring(fixtureRoot) + L"\\" + loopbackGuid();
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
    // Both gateways lead to interfaces whose indices Windows knows or not.
    table.addInterface(loopbackIndex(), 0x7F000001, 0xFF000000);
    table.addInterface(missingIndex, 0x0A080006, 0xFFFFFF00);
  }
  void TearDown() override {
    DeleteFileW(record_.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, fixtureRoot);
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
    DnsChanger dns(table, netsh, store);
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
  EXPECT_EQ(log.text(), "DNS: ok 2\nDNS: restore " + missing + " ok\nDNS: restore " + lo + " failed\n");
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
