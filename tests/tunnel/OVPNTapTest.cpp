// The tap step of the machine with the real system in this test's own Wine
// prefix: the fixture class key, device folder and Linkage key, and the
// stand-in tapinstall in a TAP-Windows folder that detection finds.
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/Text.h"
#include "core/win/System.h"
#include "netcfg/win/TapAdapter.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/TapFixture.h"
#include "tests/support/win/TestFolder.h"
#include "tests/tunnel/TunnelTestSupport.h"
#include "tests/tunnel/TunnelWinFixtures.h"
#include "tunnel/win/OVPNSystemWin.h"

namespace {

using Strings = std::vector<std::string>;

const std::wstring guidA = L"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}";
const std::wstring guidB = L"{00112233-4455-6677-8899-AABBCCDDEEFF}";

std::wstring adapterPath(const std::wstring& subkey) { return std::wstring(adapterClassKey) + L"\\" + subkey; }

std::string valueOf(const std::wstring& key, const wchar_t* name) {
  DWORD type = 0;
  std::string bytes;
  return readRegistryValue(key, name, type, bytes) ? bytes : std::string("<none>");
}

std::string dwordBytes(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

// OpenVPN and TAP-Windows installed for the machine, the stand-in as
// tapinstall; one adapter that is not the client's own.
class OVPNTapTest : public testing::Test {
 protected:
  void SetUp() override {
    removeInstallationKeys();
    folder_ = makeTestFolder(L"tap machine");
    placeFile(folder_, L"OpenVPN\\bin\\OpenVPN.exe", pe32Program());
    placeFile(folder_, L"TAP\\driver\\OemVista.inf", "; stand-in\r\n");
    ASSERT_TRUE(CreateDirectoryW(joinPath(folder_, L"TAP\\bin").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(joinPath(parentFolder(exePath()), L"tapinstall.exe").c_str(),
                          joinPath(folder_, L"TAP\\bin\\tapinstall.exe").c_str(), FALSE));
    setDefaultString(HKEY_LOCAL_MACHINE, kOpenVpnKey, joinPath(folder_, L"OpenVPN"));
    setDefaultString(HKEY_LOCAL_MACHINE, kTapKey, joinPath(folder_, L"TAP"));
    deleteRegistryTree(adapterClassKey);
    setRegistryString(adapterPath(L"0000"), L"ComponentId", L"pci\\ven_8086");
    deleteRegistryTree(tcpipLinkageKey);
    setRegistryValue(tcpipLinkageKey, L"Bind", REG_MULTI_SZ, bindValue({guidB, guidA}));
  }
  void TearDown() override {
    thread_.reset();
    SetEnvironmentVariableW(L"ZAV_TAPINSTALL", nullptr);
    deleteRegistryTree(adapterClassKey);
    deleteRegistryTree(tcpipLinkageKey);
    devices_.clear();
    removeInstallationKeys();
    removeTestFolder(folder_);
  }
  void start(const std::wstring& order) {
    SetEnvironmentVariableW(L"ZAV_TAPINSTALL", order.c_str());
    thread_ = std::make_unique<OVPNThread>(std::make_shared<RecordingListener>(record_),
                                           std::make_shared<OVPNSystemWin>());
    thread_->start();
  }

  CapturedDebugLog log_;
  std::shared_ptr<EventRecord> record_ = std::make_shared<EventRecord>();
  std::unique_ptr<OVPNThread> thread_;
  TapDeviceFolder devices_;
  std::wstring folder_;
};

TEST_F(OVPNTapTest, InstalledAdapterIsMarkedOrderedAndHandedOn) {
  devices_.addDevice(guidA);
  start(L"add|0001|tap0901|" + guidA);
  ASSERT_TRUE(record_->waitFor("needConfig"));
  thread_.reset();
  EXPECT_EQ(record_->events(), (Strings{"needConfig", "status 20015"}));
  EXPECT_EQ(loggedStates(log_.text()), (Strings{"idle", "find", "tap", "admin", "cfg", "idle"}));
  EXPECT_NE(log_.text().find("MyTap Found: 0001, " + toUtf8(guidA) + "\n"), std::string::npos) << log_.text();
  EXPECT_EQ(valueOf(adapterPath(L"0001"), L"IsKWEL"), dwordBytes(1));
  EXPECT_EQ(valueOf(adapterPath(L"0001"), L"Characteristics"), dwordBytes(8));
  EXPECT_EQ(valueOf(tcpipLinkageKey, L"Bind"), bindValue({guidA, guidB}));
}

// A tapinstall that never ends (a driver prompt nobody answers): destroying
// the machine ends it through its job and returns, with the step reported as
// a failed installation.
TEST_F(OVPNTapTest, DestroyingTheMachineEndsAHungTapinstall) {
  std::wstring pidFile = uniqueTempPath(L"tapinstall");
  start(L"hang|" + pidFile);
  ASSERT_TRUE(waitForFile(pidFile, 30000)) << "tapinstall never ran";
  DWORD processId = recordedProcessId(pidFile);
  DWORD before = GetTickCount();
  thread_.reset();
  EXPECT_LT(GetTickCount() - before, 10000u);
  EXPECT_TRUE(processEnds(processId, 5000)) << "tapinstall still runs";
  EXPECT_EQ(record_->events(), Strings{"status 20017"});
  EXPECT_EQ(loggedStates(log_.text()), (Strings{"idle", "find", "tap", "idle"}));
  EXPECT_EQ(valueOf(tcpipLinkageKey, L"Bind"), bindValue({guidB, guidA}));
  DeleteFileW(pidFile.c_str());
}

}  // namespace
