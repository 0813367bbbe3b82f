// Where "find" looks for OpenVPN and TAP-Windows. It writes the machine's
// installation keys: this test runs in a Wine prefix of its own.
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "netcfg/win/TapAdapter.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/win/TapFixture.h"
#include "tests/tunnel/TunnelTestSupport.h"
#include "tests/tunnel/TunnelWinFixtures.h"
#include "tunnel/win/OVPNSystemWin.h"

namespace {

enum class Value { none, folder, emptyValue, nulOnly, expandString, binary, cutAtNul, trailingSlash, overLong,
                   overMaxPath, view32Only, userOnly };
enum class Program { none, pe32, pe64, dos, win16, text };

struct FindCase {
  const char* name;
  Value value;
  Program program;
  bool found;
};

const FindCase findCases[] = {
    {"KeyMissing", Value::none, Program::pe32, false},
    {"EmptyValue", Value::emptyValue, Program::pe32, false},
    // It would name a program relative to the current folder.
    {"ValueOnlyNul", Value::nulOnly, Program::pe32, false},
    {"ExpandString", Value::expandString, Program::pe32, false},
    {"Binary", Value::binary, Program::pe32, false},
    // Joined with the program's name it no longer fits: missing, not fatal.
    {"OverLongFolder", Value::overLong, Program::pe32, false},
    {"LongerThanAnyPath", Value::overMaxPath, Program::pe32, false},
    {"ProgramMissing", Value::folder, Program::none, false},
    {"DosProgram", Value::folder, Program::dos, false},
    {"Win16Program", Value::folder, Program::win16, false},
    {"TextFile", Value::folder, Program::text, false},
    {"Program32", Value::folder, Program::pe32, true},
    {"Program64", Value::folder, Program::pe64, true},
    {"TextAfterNulIgnored", Value::cutAtNul, Program::pe32, true},
    {"TrailingBackslash", Value::trailingSlash, Program::pe32, true},
    // The 32-bit client reads the 64-bit view, where the 64-bit installers write.
    {"Only32BitView", Value::view32Only, Program::pe32, false},
    // A value the user can write never chooses what the elevated client runs.
    {"OnlyCurrentUser", Value::userOnly, Program::pe64, false},
};

struct Product {
  const wchar_t* key;
  const wchar_t* program;
  bool openVpn;
};
const Product kProducts[] = {{kOpenVpnKey, L"bin\\OpenVPN.exe", true}, {kTapKey, L"bin\\tapinstall.exe", false}};

std::string programBytes(Program program) {
  switch (program) {
    case Program::pe32: return pe32Program();
    case Program::pe64: return pe64Program();
    case Program::dos: return dosProgram();
    case Program::win16: return win16Program();
    case Program::text: return "@echo off\r\n";
    case Program::none: break;
  }
  return std::string();
}

void writeValue(const Product& product, Value value, const std::wstring& folder) {
  HKEY lm = HKEY_LOCAL_MACHINE;
  switch (value) {
    case Value::none: return;
    case Value::folder: return setDefaultString(lm, product.key, folder);
    case Value::emptyValue: return setDefaultValue(lm, product.key, REG_SZ, L"", 0);
    case Value::nulOnly: return setDefaultValue(lm, product.key, REG_SZ, L"", sizeof(wchar_t));
    case Value::expandString:
      return setDefaultValue(lm, product.key, REG_EXPAND_SZ, folder.c_str(), DWORD((folder.size() + 1) * 2));
    case Value::binary: return setDefaultValue(lm, product.key, REG_BINARY, folder.c_str(), DWORD(folder.size() * 2));
    case Value::cutAtNul: {
      std::wstring text = folder + std::wstring(1, L'\0') + L"C:\\elsewhere";
      return setDefaultValue(lm, product.key, REG_SZ, text.c_str(), DWORD((text.size() + 1) * 2));
    }
    case Value::trailingSlash: return setDefaultString(lm, product.key, folder + L"\\");
    case Value::overLong: return setDefaultString(lm, product.key, folder + L"\\" + std::wstring(250 - folder.size(), L'x'));
    case Value::overMaxPath: return setDefaultString(lm, product.key, folder + L"\\" + std::wstring(300, L'x'));
    case Value::view32Only: return setDefaultString(lm, product.key, folder, KEY_WOW64_32KEY);
    case Value::userOnly: return setDefaultString(HKEY_CURRENT_USER, product.key, folder);
  }
}

void PrintTo(const FindCase& c, std::ostream* out) { *out << c.name; }

class OVPNFindTable : public testing::TestWithParam<FindCase> {};

TEST_P(OVPNFindTable, InstallationFoundOrMissing) {
  const FindCase& c = GetParam();
  ASSERT_LT(makeTestFolder(L"x").size(), 200u);
  for (const Product& product : kProducts) {
    SCOPED_TRACE(product.openVpn ? "OpenVPN" : "TAP-Windows");
    removeInstallationKeys();
    std::wstring folder = makeTestFolder(L"find");
    if (c.program != Program::none) placeFile(folder, product.program, programBytes(c.program));
    writeValue(product, c.value, folder);

    OVPNSystemWin system;
    std::wstring out;
    // Where an empty folder would lead: a program relative to it is there.
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(folder.c_str());
    bool found = product.openVpn ? system.findOpenVpn(out) : system.findTapWindows(out);
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(found, c.found);
    if (!c.found) continue;
    if (product.openVpn)
      EXPECT_EQ(out, folder + L"\\" + product.program);
    else
      EXPECT_EQ(out, c.value == Value::trailingSlash ? folder + L"\\" : folder);
  }
  removeInstallationKeys();
}

INSTANTIATE_TEST_SUITE_P(Registry, OVPNFindTable, testing::ValuesIn(findCases),
                         [](const testing::TestParamInfo<FindCase>& info) { return std::string(info.param.name); });

TEST(OVPNFindTest, FixturesAreTheProgramKindsTheyClaim) {
  struct {
    std::string bytes;
    DWORD type;
  } kinds[] = {{pe32Program(), SCS_32BIT_BINARY}, {pe64Program(), SCS_64BIT_BINARY}, {dosProgram(), SCS_DOS_BINARY},
               {win16Program(), SCS_WOW_BINARY}};
  std::wstring folder = makeTestFolder(L"kinds");
  for (auto& kind : kinds) {
    placeFile(folder, L"program.exe", kind.bytes);
    DWORD type = 99;
    ASSERT_TRUE(GetBinaryTypeW((folder + L"\\program.exe").c_str(), &type));
    EXPECT_EQ(type, kind.type);
  }
}

// The machine with the real system: the installations as found decide
// between "tap" and "miss".
struct MachineCase {
  const char* name;
  bool openVpnForUserOnly;
  std::vector<std::string> states;
  std::vector<std::string> events;
};

TEST(OVPNFindTest, MachineGoesOnOnlyWithBothInstalledForTheMachine) {
  const MachineCase cases[] = {
      // With no adapter class key, "tap" fails before it runs tapinstall.
      {"both installed", false, {"idle", "find", "tap", "idle"}, {"status 20017"}},
      {"OpenVPN only for the user", true, {"idle", "find", "miss", "idle"}, {"missing", "status 20015"}},
  };
  deleteRegistryTree(adapterClassKey);
  for (const MachineCase& c : cases) {
    removeInstallationKeys();
    std::wstring folder = makeTestFolder(L"machine");
    placeFile(folder, L"OpenVPN\\bin\\OpenVPN.exe", pe32Program());
    placeFile(folder, L"TAP\\bin\\tapinstall.exe", pe64Program());
    setDefaultString(c.openVpnForUserOnly ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, kOpenVpnKey, folder + L"\\OpenVPN");
    setDefaultString(HKEY_LOCAL_MACHINE, kTapKey, folder + L"\\TAP");

    CapturedDebugLog log;
    auto record = std::make_shared<EventRecord>();
    {
      OVPNThread thread(std::make_shared<RecordingListener>(record), std::make_shared<OVPNSystemWin>());
      thread.start();
      ASSERT_TRUE(record->waitFor(c.events[0])) << c.name;
    }
    EXPECT_EQ(record->events(), c.events) << c.name;
    EXPECT_EQ(loggedStates(log.text()), c.states) << c.name;
  }
  removeInstallationKeys();
}

}  // namespace
