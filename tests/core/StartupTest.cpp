// The client's start and end as a whole program: a test copy of client.exe
// runs in a folder of its own beside the stand-in "mscoree.dll", whose record
// shows every hosting and GUI call and the client's message boxes. The test
// runs with WINEDLLOVERRIDES="mscoree=n;..." so only that DLL can load.

#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/Text.h"
#include "netcfg/win/RegistryDnsRecord.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win/LoopbackInterface.h"
#include "tests/support/win/TestFolder.h"

namespace {

const wchar_t releaseKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
const wchar_t mutexName[] = L"Global\\KWEL_GUI_GMTX";

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string readWholeFile(const std::wstring& path) {
  std::string bytes;
  if (FILE* file = _wfopen(path.c_str(), L"rb")) {
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    std::fclose(file);
  }
  return bytes;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::wstring hostingDir() {
  const char* binary = std::getenv("ZAV_BINARY_DIR");
  return wide(hostPath(std::string(binary ? binary : "") + "/tests/hosting"));
}

// A folder in which one copy of the client runs, with the chosen stand-in.
class ClientFolder {
 public:
  explicit ClientFolder(const wchar_t* variant) {
    dir_ = uniqueTempPath(L"startup");
    CreateDirectoryW(dir_.c_str(), nullptr);
    CreateDirectoryW((dir_ + L"\\logs").c_str(), nullptr);
    EXPECT_TRUE(CopyFileW((hostingDir() + L"\\client.exe").c_str(), program().c_str(), FALSE));
    if (variant) {
      EXPECT_TRUE(
          CopyFileW((hostingDir() + L"\\" + variant + L"\\mscoree.dll").c_str(), (dir_ + L"\\mscoree.dll").c_str(),
                    FALSE));
    }
  }
  ClientFolder(const ClientFolder&) = delete;
  ClientFolder& operator=(const ClientFolder&) = delete;

  std::wstring program() const { return dir_ + L"\\client.exe"; }
  std::wstring path(const wchar_t* name) const { return dir_ + L"\\" + name; }
  std::vector<std::string> record() const { return lines(readWholeFile(path(L"record.txt"))); }
  std::string debugLog() const { return decryptDebugLog(readWholeFile(path(L"logs\\debug.dat"))); }

  // One run of the client; gui is the stand-in GUI's script.
  PROCESS_INFORMATION start(const std::string& fail, const std::string& gui) {
    SetEnvironmentVariableW(L"ZAV_STANDIN_RECORD", path(L"record.txt").c_str());
    SetEnvironmentVariableW(L"ZAV_STANDIN_FAIL", fail.empty() ? nullptr : wide(fail).c_str());
    SetEnvironmentVariableW(L"ZAV_STANDIN_GUI", wide(gui).c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + program() + L"\"";
    BOOL started = CreateProcessW(program().c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  dir_.c_str(), &startup, &process);
    EXPECT_TRUE(started) << GetLastError();
    return process;
  }

  static DWORD finish(PROCESS_INFORMATION process) {
    DWORD exitCode = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the client did not end";
      TerminateProcess(process.hProcess, 99);
      WaitForSingleObject(process.hProcess, 5000);
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return exitCode;
  }

  DWORD run(const std::string& fail = "", const std::string& gui = "detach-on-state:1") {
    return finish(start(fail, gui));
  }

  bool waitForRecord(const std::string& line) const {
    for (int i = 0; i < 300; ++i) {
      for (const std::string& recorded : record()) {
        if (recorded == line) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  std::wstring dir_;
};

std::vector<std::string> contractErrors(const std::vector<std::string>& record) {
  std::vector<std::string> errors;
  for (const std::string& line : record) {
    if (line.compare(0, 6, "ERROR ") == 0) errors.push_back(line);
  }
  return errors;
}

std::vector<std::string> messageBoxes(const std::vector<std::string>& record) {
  std::vector<std::string> boxes;
  for (const std::string& line : record) {
    if (line.compare(0, 12, "MessageBoxW ") == 0) boxes.push_back(line);
  }
  return boxes;
}

// No caption, no owner, MB_ICONERROR | MB_TOPMOST.
std::string errorBox(const std::string& text) {
  return "MessageBoxW \"" + text + "\" caption=null owner=null flags=0x40010";
}
std::string fatalBox(int code) { return errorBox("Fatal Error.\\nError Code: " + std::to_string(code)); }

enum class Release { missing, dword, text, qword, only32 };

// The runtime's "Release" value as the test wants it, in both registry views.
void setRelease(Release kind, DWORD value = 0) {
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, releaseKey, 0, KEY_SET_VALUE | view, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, L"Release");
      RegCloseKey(key);
    }
  }
  if (kind == Release::missing) return;
  HKEY key = nullptr;
  REGSAM view = kind == Release::only32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, releaseKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  LONG written = ERROR_SUCCESS;
  if (kind == Release::text) {
    std::wstring text = std::to_wstring(value);
    written = RegSetValueExW(key, L"Release", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  } else if (kind == Release::qword) {
    ULONGLONG wideValue = value;
    written = RegSetValueExW(key, L"Release", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&wideValue),
                             sizeof wideValue);
  } else {
    written = RegSetValueExW(key, L"Release", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  RegCloseKey(key);
  ASSERT_EQ(written, ERROR_SUCCESS);
}

class Startup : public ::testing::Test {
 protected:
  void SetUp() override { setRelease(Release::dword, 528040); }
  void TearDown() override { setRelease(Release::missing); }
};

TEST_F(Startup, ANormalStartShowsTheLoginViewAndEndsWithCodeZeroAndTheReleasesInOrder) {
  ClientFolder folder(L"full");
  EXPECT_EQ(folder.run(), 0u);
  std::vector<std::string> record = folder.record();
  EXPECT_EQ(contractErrors(record), std::vector<std::string>());
  EXPECT_EQ(messageBoxes(record), std::vector<std::string>());

  // The hosting chain, the GUI, then the shut-down, each step once.
  const std::vector<std::string> expected = {
      "CLRCreateInstance",
      "ICLRMetaHost::GetRuntime v4.0.30319",
      "ICLRRuntimeInfo::IsLoadable",
      "ICLRRuntimeInfo::GetInterface",
      "ICorRuntimeHost::Start",
      "ICorRuntimeHost::GetDefaultDomain",
      "AppDomain::QueryInterface {05F696DC-2B29-3663-AD8B-C4389CF2A713}",
      "AppDomain::Release 1",
      "_AppDomain::Load_2 Pellion",
      "_Assembly::GetType_2 _",
      "_Type::InvokeMember_3 __ flags=280",
      "IGuiEntry::QueryInterface {6DFB667F-9BC9-4FF9-97F9-A9C74ADEB538}",
      "IGuiEntry::Release 1",
      "IGuiEntry::showLogin",
      "ILoginView::showConnState 1",
      "GUI: detach login controller",
      "IGuiEntry::Release 0",
      "ICorRuntimeHost::Stop",
      "Type::Release 0",
      "Assembly::Release 0",
      "AppDomain::Release 0",
      "CorRuntimeHost::Release 0",
      "RuntimeInfo::Release 0",
      "MetaHost::Release 0",
      "CorExitProcess 0",
  };
  size_t next = 0;
  for (const std::string& line : record) {
    if (next < expected.size() && line == expected[next]) ++next;
  }
  EXPECT_EQ(next, expected.size()) << "missing or out of order: " << (next < expected.size() ? expected[next] : "");
  EXPECT_EQ(record.back(), "CorExitProcess 0");

  // The login controller drove the view as far as the stand-in lets it.
  std::string log = folder.debugLog();
  EXPECT_NE(log.find(": New "), std::string::npos);
  EXPECT_NE(log.find(": Free"), std::string::npos);
}

// The one instance sets back what an earlier run's DNS record holds before
// its window; a second one leaves the record of a running tunnel alone.
TEST_F(Startup, ASecondInstanceShowsItsMessageAndEndsWithCodeOneWithoutHosting) {
  ClientFolder first(L"full");
  ClientFolder second(L"full");
  RegistryDnsRecord dnsRecord;
  const std::string lo = std::to_string(loopbackIndex());
  ASSERT_TRUE(dnsRecord.write("zav-dns 1\n" + lo + " " + loopbackGuid() + " dhcp\n"));
  PROCESS_INFORMATION running = first.start("", "detach-when-file:" + toUtf8(first.path(L"close")));
  ASSERT_TRUE(first.waitForRecord("IGuiEntry::showLogin"));
  std::string left;
  EXPECT_EQ(dnsRecord.read(left), DnsRecordStore::Read::none) << left;

  const std::string stillRunning = "zav-dns 1\n1 - static 192.0.2.1\n";
  ASSERT_TRUE(dnsRecord.write(stillRunning));
  EXPECT_EQ(second.run(), 1u);
  // One message box and nothing of the runtime touched.
  EXPECT_EQ(second.record(), std::vector<std::string>{errorBox("Only one instance allowed.")});
  EXPECT_EQ(dnsRecord.read(left), DnsRecordStore::Read::found);
  EXPECT_EQ(left, stillRunning);
  EXPECT_EQ(second.debugLog().find("DNS:"), std::string::npos) << second.debugLog();
  EXPECT_TRUE(dnsRecord.remove());

  FILE* close = _wfopen(first.path(L"close").c_str(), L"wb");
  ASSERT_NE(close, nullptr);
  std::fclose(close);
  EXPECT_EQ(ClientFolder::finish(running), 0u);
  EXPECT_EQ(contractErrors(first.record()), std::vector<std::string>());
  const std::string log = first.debugLog();
  EXPECT_NE(log.find("DNS: setting back what an earlier run left: 1\nDNS: restore " + lo + " ok\n"), std::string::npos)
      << log;

  // The first instance gave the name back when it ended.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, mutexName);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(mutex);
}

TEST_F(Startup, AnInstanceOfAnyOtherProcessHoldingTheNameBlocksTheStart) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, mutexName);
  ASSERT_NE(mutex, nullptr);
  ClientFolder folder(L"full");
  EXPECT_EQ(folder.run(), 1u);
  EXPECT_EQ(folder.record(), std::vector<std::string>{errorBox("Only one instance allowed.")});
  CloseHandle(mutex);
}

struct ReleaseCase {
  const char* name;
  Release kind;
  DWORD value;
  bool starts;
};

class StartupRelease : public Startup, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(StartupRelease, OnlyARecentEnoughDwordInTheNativeViewLetsTheClientStart) {
  const ReleaseCase& row = GetParam();
  setRelease(row.kind, row.value);
  ClientFolder folder(L"full");
  // An outdated transcript: cleared only once the runtime check has passed.
  std::wstring transcript = folder.path(L"logs\\20000101000000.txt");
  FILE* file = _wfopen(transcript.c_str(), L"wb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);

  EXPECT_EQ(folder.run(), 0u);
  std::vector<std::string> record = folder.record();
  bool hosted = !record.empty() && record.front() == "CLRCreateInstance";
  EXPECT_EQ(hosted, row.starts);
  EXPECT_EQ(exists(transcript), !row.starts);
  if (!row.starts) {
    // WinMain returned before loading the runtime's DLL.
    EXPECT_EQ(record, std::vector<std::string>());
    // No instance was taken: the name is free.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, mutexName);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(mutex);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartupRelease,
    ::testing::Values(ReleaseCase{"missing", Release::missing, 0, false},
                      ReleaseCase{"below_4_5", Release::dword, 378388, false},
                      ReleaseCase{"first_4_5", Release::dword, 378389, true},
                      ReleaseCase{"as_text", Release::text, 528040, false},
                      ReleaseCase{"as_qword", Release::qword, 528040, false},
                      ReleaseCase{"only_in_32_bit_view", Release::only32, 528040, false}),
    [](const ::testing::TestParamInfo<ReleaseCase>& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  const wchar_t* variant;  // null: no DLL beside the client
  const char* fail;
  int code;
};

class StartupFailure : public Startup, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StartupFailure, EachHostingStepFailsWithItsOwnCode) {
  const FailureCase& row = GetParam();
  ClientFolder folder(row.variant);
  EXPECT_EQ(folder.run(row.fail), 1u);
  std::vector<std::string> record = folder.record();
  EXPECT_EQ(contractErrors(record), std::vector<std::string>());
  // Without the DLL nothing records the box: the exit code and the missing
  // record are what shows.
  if (row.variant) {
    EXPECT_EQ(messageBoxes(record), std::vector<std::string>{fatalBox(row.code)});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartupFailure,
    ::testing::Values(FailureCase{"no_runtime_dll", nullptr, "", 81},
                      FailureCase{"no_exit_function", L"no-exit", "", 82},
                      FailureCase{"no_create_function", L"no-create", "", 117},
                      FailureCase{"meta_host_fails", L"full", "CLRCreateInstance", 118},
                      FailureCase{"meta_host_null", L"full", "CLRCreateInstance:null", 118},
                      FailureCase{"runtime_fails", L"full", "GetRuntime", 119},
                      FailureCase{"runtime_null", L"full", "GetRuntime:null", 119},
                      FailureCase{"loadable_fails", L"full", "IsLoadable", 120},
                      FailureCase{"not_loadable", L"full", "IsLoadable:false", 120},
                      FailureCase{"host_interface_fails", L"full", "GetInterface", 121},
                      FailureCase{"host_interface_null", L"full", "GetInterface:null", 121},
                      FailureCase{"start_fails", L"full", "Start", 122},
                      FailureCase{"default_domain_fails", L"full", "GetDefaultDomain", 123},
                      FailureCase{"default_domain_null", L"full", "GetDefaultDomain:null", 123},
                      FailureCase{"app_domain_refused", L"full", "QueryAppDomain", 124},
                      FailureCase{"app_domain_null", L"full", "QueryAppDomain:null", 124},
                      FailureCase{"assembly_fails", L"full", "Load_2", 125},
                      FailureCase{"assembly_null", L"full", "Load_2:null", 125},
                      FailureCase{"type_fails", L"full", "GetType_2", 126},
                      FailureCase{"type_null", L"full", "GetType_2:null", 126},
                      FailureCase{"invoke_fails", L"full", "InvokeMember_3", 127},
                      FailureCase{"invoke_returns_null", L"full", "InvokeMember_3:null", 128},
                      FailureCase{"invoke_returns_no_object", L"full", "InvokeMember_3:int", 128},
                      FailureCase{"entry_lacks_interface", L"full", "QueryGuiEntry", 129},
                      FailureCase{"show_login_fails", L"full", "IGuiEntry::showLogin", 143},
                      FailureCase{"show_login_no_view", L"full", "IGuiEntry::showLogin:null", 143},
                      FailureCase{"stop_fails", L"full", "Stop", 130}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
