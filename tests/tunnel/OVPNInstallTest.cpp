// "miss" and "inst" with the real system and the stand-in installer, which
// installs for real into this test's own Wine prefix (registry and files).
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/QuoteArgument.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "tests/support/DebugLogReader.h"
#include "netcfg/win/TapAdapter.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/TapFixture.h"
#include "tests/support/win/TestFolder.h"
#include "tests/tunnel/TunnelTestSupport.h"
#include "tests/tunnel/TunnelWinFixtures.h"
#include "tunnel/OVPNStateInstall.h"
#include "tunnel/win/OVPNSystemWin.h"

namespace {

using Strings = std::vector<std::string>;

struct Record {
  DWORD processId = 0;
  std::wstring programPath;
  std::wstring commandLine;
};

Record readRecord(const std::wstring& path) {
  std::istringstream lines(readWideFile(path));
  std::string pid, program, command;
  std::getline(lines, pid);
  std::getline(lines, program);
  std::getline(lines, command);
  return Record{static_cast<DWORD>(std::stoul(pid)), fromUtf8(program), fromUtf8(command)};
}

std::vector<std::wstring> folderEntries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  WinFind find(FindFirstFileW(joinPath(folder, L"*").c_str(), &found), winhandle::kNoCloseCode);
  if (!find) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &found));
  return names;
}

// A machine in "miss" with the real system, its installer folder made in a
// parent of the test's own, and the stand-in told what to do.
class InstallRun {
 public:
  explicit InstallRun(const std::wstring& exitCode = L"0", const std::wstring& sleepMs = L"",
                      const std::wstring& skip = L"", bool parentExists = true)
      : record_(std::make_shared<EventRecord>()),
        parent_(makeTestFolder(L"parent")),
        root_(makeTestFolder(L"root")),
        recordPath_(uniqueTempPath(L"record")) {
    removeInstallationKeys();
    SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_RECORD", recordPath_.c_str());
    SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_ROOT", root_.c_str());
    SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_EXIT", exitCode.c_str());
    SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_SLEEP", sleepMs.empty() ? nullptr : sleepMs.c_str());
    SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_SKIP", skip.empty() ? nullptr : skip.c_str());
    std::wstring parent = parentExists ? parent_ : joinPath(parent_, L"missing");
    thread_ = std::make_unique<OVPNThread>(std::make_shared<RecordingListener>(record_),
                                           std::make_shared<OVPNSystemWin>(parent));
  }
  ~InstallRun() { removeInstallationKeys(); }

  void toMissing() {
    thread_->start();
    ASSERT_TRUE(record_->waitFor("missing"));
  }
  // Waits for the stand-in to have started.
  Record installerStarted() {
    EXPECT_TRUE(waitForFile(recordPath_, 20000));
    return readRecord(recordPath_);
  }
  void destroy() { thread_.reset(); }

  OVPNThread& thread() { return *thread_; }
  EventRecord& record() { return *record_; }
  const std::wstring& parent() const { return parent_; }
  const std::wstring& recordPath() const { return recordPath_; }
  std::string logText() { return log_.text(); }
  Strings states() { return loggedStates(logText()); }

 private:
  CapturedDebugLog log_;
  std::shared_ptr<EventRecord> record_;
  std::wstring parent_;
  std::wstring root_;
  std::wstring recordPath_;
  std::unique_ptr<OVPNThread> thread_;
};

std::string standInBytes() { return readWideFile(ovpnStandInInstallerPath()); }

TEST(OVPNInstallTest, SilentInstallThenDetectionFindsWhatItLeft) {
  // No adapter class key: "tap" fails before it would run the tapinstall
  // that the stand-in left (a copy of itself).
  deleteRegistryTree(adapterClassKey);
  InstallRun run;
  run.toMissing();
  run.thread().install(standInBytes());
  ASSERT_TRUE(run.record().waitFor("status 20017"));
  Record started = run.installerStarted();
  run.destroy();

  // Through "find" again to "tap".
  EXPECT_EQ(run.record().events(), (Strings{"missing", "installed", "status 20017"}));
  EXPECT_EQ(run.states(), (Strings{"idle", "find", "miss", "inst", "find", "tap", "idle"}));
  EXPECT_EQ(started.commandLine, quoteArgument(started.programPath) + OVPNStateInstall::switches);
  // It ran from a folder of its own in the parent, gone with it.
  EXPECT_EQ(parentFolder(parentFolder(started.programPath)), run.parent());
  EXPECT_EQ(folderEntries(run.parent()), std::vector<std::wstring>{});
}

TEST(OVPNInstallTest, FailuresEndIdleWithTheirCodeAndNoFileLeft) {
  struct Case {
    const char* name;
    std::string bytes;
    const wchar_t* exitCode;
    bool parentExists;
    const char* status;
  } cases[] = {
      {"exit code 1", standInBytes(), L"1", true, "status 20028"},
      {"not a program", "this is no program", L"0", true, "status 20027"},
      {"temporary folder missing", standInBytes(), L"0", false, "status 20026"},
  };
  for (const Case& c : cases) {
    InstallRun run(c.exitCode, L"", L"", c.parentExists);
    run.toMissing();
    run.thread().install(c.bytes);
    ASSERT_TRUE(run.record().waitFor(c.status)) << c.name;
    settle(run.thread());
    run.destroy();
    // Failing by itself, "inst" gives no teardown report.
    EXPECT_EQ(run.record().events(), (Strings{"missing", c.status})) << c.name;
    EXPECT_EQ(run.states(), (Strings{"idle", "find", "miss", "inst", "idle"})) << c.name;
    EXPECT_EQ(folderEntries(run.parent()), std::vector<std::wstring>{}) << c.name;
  }
}

TEST(OVPNInstallTest, InstallationMissingAPartRaisesMissingAgain) {
  for (const wchar_t* skip : {L"tapProgram", L"openvpnKey"}) {
    InstallRun run(L"0", L"", skip);
    run.toMissing();
    run.thread().install(standInBytes());
    ASSERT_TRUE(run.record().waitFor("missing", 2)) << toUtf8(skip);
    run.destroy();
    EXPECT_EQ(run.record().events(), (Strings{"missing", "installed", "missing", "status 20015"})) << toUtf8(skip);
  }
}

// Stop, or the machine's destruction, while the installer runs: it is ended
// and waited for, its folder goes, one teardown report.
TEST(OVPNInstallTest, TeardownWhileTheInstallerRunsEndsItAndRemovesIt) {
  for (bool destroyMachine : {false, true}) {
    SCOPED_TRACE(destroyMachine ? "destroyed" : "stopped");
    InstallRun run(L"0", L"60000");
    run.toMissing();
    run.thread().install(standInBytes());
    Record started = run.installerStarted();
    std::wstring folder = parentFolder(started.programPath);
    // The folder is held: it can't be renamed and replaced under the installer.
    EXPECT_FALSE(MoveFileW(folder.c_str(), (folder + L"-moved").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));

    if (destroyMachine) {
      run.destroy();
    } else {
      run.thread().stop();
      ASSERT_TRUE(run.record().waitFor("status 20015"));
      settle(run.thread());
    }
    EXPECT_TRUE(processEnds(started.processId, 0));
    EXPECT_EQ(folderEntries(run.parent()), std::vector<std::wstring>{});
    run.destroy();
    EXPECT_EQ(run.record().events(), (Strings{"missing", "status 20015"}));
    EXPECT_EQ(run.states(), (Strings{"idle", "find", "miss", "inst", "idle"}));
  }
}

TEST(OVPNInstallTest, InstallerFileThatCannotBeDeletedIsLoggedNotFatal) {
  InstallRun run(L"0", L"60000");
  run.toMissing();
  run.thread().install(standInBytes());
  Record started = run.installerStarted();
  WinFile held(CreateFileW(started.programPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr),
               winhandle::kNoCloseCode);
  ASSERT_TRUE(held);
  run.thread().stop();
  ASSERT_TRUE(run.record().waitFor("status 20015"));
  run.destroy();
  held.reset();
  EXPECT_EQ(run.record().events(), (Strings{"missing", "status 20015"}));
  EXPECT_NE(run.logText().find("removing " + toUtf8(parentFolder(started.programPath)) + " failed"),
            std::string::npos);
  deleteTree(parentFolder(started.programPath));
}

TEST(OVPNInstallTest, InstallOutsideMissIsDropped) {
  InstallRun run(L"0", L"60000");
  // In idle.
  run.thread().install(standInBytes());
  settle(run.thread());
  EXPECT_FALSE(pathExists(run.recordPath()));
  // In "inst", while the first installer runs.
  run.toMissing();
  run.thread().install(standInBytes());
  Record first = run.installerStarted();
  run.thread().install(standInBytes());
  settle(run.thread());
  EXPECT_EQ(readRecord(run.recordPath()).processId, first.processId);
  // The one installer's folder and the folder it runs in.
  EXPECT_EQ(folderEntries(run.parent()).size(), 2u);
  run.destroy();
  EXPECT_EQ(run.record().events(), (Strings{"missing", "status 20015"}));
}

}  // namespace
