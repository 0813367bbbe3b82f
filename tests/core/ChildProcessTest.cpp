#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "core/QuoteArgument.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/ChildProcess.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/SeenFolders.h"
#include "tests/support/win/TestFolder.h"

namespace {

using namespace std::chrono_literals;

// Collects the one report of a ChildProcess, with the thread it came on.
struct ExitReport {
  std::promise<uint32_t> code;
  std::thread::id thread;
  std::atomic<int> calls{0};
  void attachTo(ChildProcess& child) {
    child.setExitCallback([this, &child] {
      thread = std::this_thread::get_id();
      if (++calls == 1) code.set_value(child.exitCode());
    });
  }
};

std::unique_ptr<ChildProcess> startHelper(const std::wstring& options) {
  return ChildProcess::create(childHelperPath(), childHelperCommand(options));
}

TEST(ChildProcessTest, ReportsTheExitCodeOnTheWatcherThread) {
  for (uint32_t code : {0u, 42u, 3000000000u}) {
    SCOPED_TRACE(code);
    std::unique_ptr<ChildProcess> child = startHelper(L"--sleep 50 --exit " + std::to_wstring(code));
    ASSERT_NE(child, nullptr);
    ExitReport report;
    std::future<uint32_t> reported = report.code.get_future();
    report.attachTo(*child);
    ASSERT_EQ(reported.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(reported.get(), code);
    EXPECT_NE(report.thread, std::this_thread::get_id());
    child.reset();
    EXPECT_EQ(report.calls, 1);
  }
}

TEST(ChildProcessTest, AnEndBeforeTheCallbackIsStillReported) {
  std::wstring record = uniqueTempPath(L"record");
  std::unique_ptr<ChildProcess> child = startHelper(L"--record " + quoteArgument(record) + L" --exit 9");
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(waitForFile(record, 30000));
  // The child object stays alive while the ChildProcess holds its handle.
  ASSERT_TRUE(processEnds(recordedProcessId(record), 30000));
  Sleep(100);  // let the watcher see the end first
  ExitReport report;
  std::future<uint32_t> reported = report.code.get_future();
  report.attachTo(*child);
  ASSERT_EQ(reported.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(reported.get(), 9u);
  child.reset();
  EXPECT_EQ(report.calls, 1);
  DeleteFileW(record.c_str());
}

TEST(ChildProcessTest, DestroyingItEndsTheChildWithoutAReport) {
  std::wstring record = uniqueTempPath(L"record");
  std::unique_ptr<ChildProcess> child = startHelper(L"--record " + quoteArgument(record) + L" --sleep 60000");
  ASSERT_NE(child, nullptr);
  ExitReport report;
  report.attachTo(*child);
  ASSERT_TRUE(waitForFile(record, 30000));
  DWORD pid = recordedProcessId(record);
  HANDLE running = OpenProcess(SYNCHRONIZE, FALSE, pid);
  ASSERT_NE(running, nullptr);
  EXPECT_EQ(WaitForSingleObject(running, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  child.reset();
  EXPECT_EQ(WaitForSingleObject(running, 30000), WAIT_OBJECT_0) << "the job did not end the child";
  CloseHandle(running);
  EXPECT_EQ(report.calls, 0);
  DeleteFileW(record.c_str());
}

TEST(ChildProcessTest, EndAndWaitReturnsOnceTheChildIsGone) {
  std::wstring record = uniqueTempPath(L"record");
  std::unique_ptr<ChildProcess> child = startHelper(L"--record " + quoteArgument(record) + L" --sleep 60000");
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(waitForFile(record, 30000));
  DWORD pid = recordedProcessId(record);
  EXPECT_TRUE(child->endAndWait(30000));
  EXPECT_TRUE(processEnds(pid, 0)) << "still running when endAndWait returned";
  // A child that has ended already.
  EXPECT_TRUE(child->endAndWait(0));
  DeleteFileW(record.c_str());
}

TEST(ChildProcessTest, DestroyingItWithoutACallbackAfterTheEndReturns) {
  std::wstring record = uniqueTempPath(L"record");
  std::unique_ptr<ChildProcess> child = startHelper(L"--record " + quoteArgument(record) + L" --exit 0");
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(waitForFile(record, 30000));
  ASSERT_TRUE(processEnds(recordedProcessId(record), 30000));
  Sleep(100);  // the watcher has seen the end and waits for a callback that never comes
  // Destroyed on a thread of its own, so that a destructor that hangs fails
  // the test instead of stalling it.
  auto destroyed = std::make_shared<std::promise<void>>();
  std::future<void> done = destroyed->get_future();
  ChildProcess* owned = child.release();
  std::thread([owned, destroyed] {
    delete owned;
    destroyed->set_value();
  }).detach();
  EXPECT_EQ(done.wait_for(30s), std::future_status::ready) << "the destructor did not return";
  DeleteFileW(record.c_str());
}

TEST(ChildProcessTest, TheClientsEndEndsItsChildren) {
  // The helper starts a sleeping copy of itself and then kills itself: only
  // the closing of its last job handle can end the copy.
  std::wstring record = uniqueTempPath(L"record");
  std::wstring line = childHelperCommand(L"--spawn " + quoteArgument(record));
  std::vector<wchar_t> writable(line.begin(), line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(childHelperPath().c_str(), writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &info));
  CloseHandle(info.hThread);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  ASSERT_EQ(code, 7u) << "the spawner did not see its child run";
  ASSERT_TRUE(waitForFile(record, 1000));
  EXPECT_TRUE(processEnds(recordedProcessId(record), 30000));
  DeleteFileW(record.c_str());
}

TEST(ChildProcessTest, AProgramThatCannotStartGivesNull) {
  std::wstring missing = joinPath(tempFolder(), L"zav-no-such-program.exe");
  EXPECT_EQ(ChildProcess::create(missing, quoteArgument(missing)), nullptr);
  // Not a program at all.
  std::wstring text = uniqueTempPath(L"text") + L".exe";
  ASSERT_TRUE(writeWideFile(text, "plain text"));
  EXPECT_EQ(ChildProcess::create(text, quoteArgument(text)), nullptr);
  DeleteFileW(text.c_str());
}

TEST(RunAndWaitTest, ReturnsTheExitCode) {
  for (uint32_t code : {0u, 1u, 259u, 4294967295u})
    EXPECT_EQ(runAndWait(childHelperPath(), childHelperCommand(L"--exit " + std::to_wstring(code))), code);
}

// True for the plain std::runtime_error of a run that never started.
template <typename Run>
bool failsBeforeTheStart(Run run) {
  try {
    run();
  } catch (const RunNoExitCode&) {
    return false;
  } catch (const std::runtime_error&) {
    return true;
  }
  return false;
}

TEST(RunAndWaitTest, AProgramThatCannotStartThrows) {
  std::wstring missing = joinPath(tempFolder(), L"zav-no-such-program.exe");
  EXPECT_TRUE(failsBeforeTheStart([&] { runAndWait(missing, quoteArgument(missing)); }));
}

// A stop handle that can't be waited on fails the wait only once the program
// runs: a run that may have done its work, told apart from one never started.
TEST(RunAndWaitTest, AWaitThatFailsAfterTheStartThrowsRunNoExitCode) {
  WinHandle unwaitable(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr),
                       winhandle::kNoCloseCode);
  ASSERT_TRUE(unwaitable);
  EXPECT_THROW(runAndWait(childHelperPath(), childHelperCommand(L"--sleep 10000"), unwaitable.get()), RunNoExitCode);
}

TEST(RunAndWaitTest, AStopEventThatStaysUnsetChangesNothing) {
  WinHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr), winhandle::kNoCloseCode);
  ASSERT_TRUE(stop);
  EXPECT_EQ(runAndWait(childHelperPath(), childHelperCommand(L"--sleep 50 --exit 3"), stop.get()), 3u);
}

TEST(RunAndWaitTest, TheStopEventEndsAHungChild) {
  std::wstring record = uniqueTempPath(L"record");
  WinHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr), winhandle::kNoCloseCode);
  ASSERT_TRUE(stop);
  std::thread stopper([&] {
    if (waitForFile(record, 30000)) SetEvent(stop.get());
  });
  DWORD start = GetTickCount();
  std::wstring hang = childHelperCommand(L"--record " + quoteArgument(record) + L" --sleep 60000");
  EXPECT_THROW(runAndWait(childHelperPath(), hang, stop.get()), RunNoExitCode);
  stopper.join();
  EXPECT_LT(GetTickCount() - start, 30000u);
  ASSERT_TRUE(waitForFile(record, 0));
  EXPECT_TRUE(processEnds(recordedProcessId(record), 0)) << "the child still runs after the call";
  DeleteFileW(record.c_str());
}

TEST(RunAndWaitTest, AStopEventSetBeforeTheCallStartsNothing) {
  std::wstring record = uniqueTempPath(L"record");
  WinHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr), winhandle::kNoCloseCode);
  ASSERT_TRUE(stop);
  EXPECT_TRUE(failsBeforeTheStart(
      [&] { runAndWait(childHelperPath(), childHelperCommand(L"--record " + quoteArgument(record)), stop.get()); }));
  EXPECT_FALSE(waitForFile(record, 500));
}

// The client runs elevated, and so do its children: whatever the user's own
// TMP and TEMP name, a child sees the folders it was given, or the system's.
class ChildFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    userTemp_ = freshTestFolder(L"zav user temp ");
    user_ = std::make_unique<UserTempFolder>(userTemp_);
    record_ = joinPath(userTemp_, L"folders.txt");
  }
  void TearDown() override {
    user_.reset();
    removeTestFolder(userTemp_);
  }
  std::wstring reportFolders() const { return childHelperCommand(L"--folders " + quoteArgument(record_)); }
  SeenFolders seen() {
    SeenFolders folders = readSeenFolders(record_);
    DeleteFileW(record_.c_str());
    return folders;
  }

  std::wstring userTemp_;
  std::unique_ptr<UserTempFolder> user_;
  std::wstring record_;
};

TEST_F(ChildFoldersTest, AChildRunsInTheFolderItIsGiven) {
  std::unique_ptr<AdminOnlyFolder> folder = AdminOnlyFolder::create();
  ASSERT_TRUE(folder);
  const std::wstring path = folder->path();
  const SeenFolders inside{path, path, path};

  std::unique_ptr<ChildProcess> child =
      ChildProcess::create(childHelperPath(), reportFolders(), ChildFolders::inside(path));
  ASSERT_TRUE(child);
  ASSERT_TRUE(waitForFile(record_, 30000));
  EXPECT_TRUE(child->endAndWait(30000));
  child.reset();
  EXPECT_EQ(seen(), inside);

  EXPECT_EQ(runAndWait(childHelperPath(), reportFolders(), nullptr, INFINITE, ChildFolders::inside(path)), 0u);
  EXPECT_EQ(seen(), inside);

  // Nothing of the ended children keeps the folder.
  folder.reset();
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ChildFoldersTest, WithoutFoldersAChildRunsInTheSystems) {
  const SeenFolders system{systemTempFolder(), systemTempFolder(), system32Folder()};
  EXPECT_EQ(runAndWait(childHelperPath(), reportFolders()), 0u);
  EXPECT_EQ(seen(), system);

  std::unique_ptr<ChildProcess> child = ChildProcess::create(childHelperPath(), reportFolders());
  ASSERT_TRUE(child);
  ASSERT_TRUE(waitForFile(record_, 30000));
  EXPECT_TRUE(child->endAndWait(30000));
  EXPECT_EQ(seen(), system);
}

// Reports on a promise; done must come exactly once.
class RecordingSink : public CommandSink {
 public:
  void done(bool ok) override {
    thread = std::this_thread::get_id();
    if (++calls == 1) result.set_value(ok);
  }
  std::promise<bool> result;
  std::thread::id thread;
  std::atomic<int> calls{0};
};

// Puts a copy of the helper into the system folder (the test has a Wine
// prefix of its own), so the runner finds it as it finds netsh.exe.
class CommandRunnerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tool_ = L"zav_test_tool.exe";
    ASSERT_TRUE(CopyFileW(childHelperPath().c_str(), joinPath(system32Folder(), tool_).c_str(), FALSE));
  }
  static void TearDownTestSuite() { DeleteFileW(joinPath(system32Folder(), tool_).c_str()); }
  static std::wstring tool_;
};
std::wstring CommandRunnerTest::tool_;

TEST_F(CommandRunnerTest, DoneTrueAfterTheToolRanWithTheArgumentText) {
  std::wstring echo = uniqueTempPath(L"echo");
  auto sink = std::make_shared<RecordingSink>();
  std::future<bool> result = sink->result.get_future();
  auto runner =
      std::make_shared<CommandRunner>(tool_, L"--sleep 50 --echo " + quoteArgument(echo) + L" reset \"two words\"", sink);
  ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
  EXPECT_TRUE(result.get());
  EXPECT_NE(sink->thread, std::this_thread::get_id());
  EXPECT_EQ(echoedArguments(echo), (std::vector<std::string>{"reset", "two words"}));
  runner.reset();
  EXPECT_EQ(sink->calls, 1);
  DeleteFileW(echo.c_str());
}

TEST_F(CommandRunnerTest, DoneTrueWhateverTheExitCode) {
  for (const wchar_t* exitCode : {L"0", L"3"}) {
    auto sink = std::make_shared<RecordingSink>();
    std::future<bool> result = sink->result.get_future();
    auto runner = std::make_shared<CommandRunner>(tool_, std::wstring(L"--exit ") + exitCode, sink);
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(result.get()) << "exit code " << *exitCode;
  }
}

TEST_F(CommandRunnerTest, DoneFalseAtOnceWhenTheToolIsMissing) {
  auto sink = std::make_shared<RecordingSink>();
  std::future<bool> result = sink->result.get_future();
  CommandRunner runner(L"zav-no-such-tool.exe", L"/all", sink);
  ASSERT_EQ(result.wait_for(0s), std::future_status::ready) << "not reported inside the constructor";
  EXPECT_FALSE(result.get());
  EXPECT_EQ(sink->thread, std::this_thread::get_id());
  EXPECT_EQ(sink.use_count(), 1) << "the runner still holds the sink";
}

TEST_F(CommandRunnerTest, TheToolRunsInTheSystemsFolders) {
  std::wstring userTemp = freshTestFolder(L"zav user temp ");
  std::wstring record = joinPath(userTemp, L"folders.txt");
  {
    UserTempFolder user(userTemp);
    auto sink = std::make_shared<RecordingSink>();
    std::future<bool> result = sink->result.get_future();
    auto runner = std::make_shared<CommandRunner>(tool_, L"--folders " + quoteArgument(record), sink);
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(result.get());
  }
  EXPECT_EQ(readSeenFolders(record), (SeenFolders{systemTempFolder(), systemTempFolder(), system32Folder()}));
  removeTestFolder(userTemp);
}

TEST_F(CommandRunnerTest, DroppingTheRunnerEndsTheCommandWithoutAReport) {
  std::wstring record = uniqueTempPath(L"record");
  auto sink = std::make_shared<RecordingSink>();
  auto runner = std::make_shared<CommandRunner>(tool_, L"--record " + quoteArgument(record) + L" --sleep 60000", sink);
  ASSERT_TRUE(waitForFile(record, 30000));
  DWORD pid = recordedProcessId(record);
  runner.reset();
  EXPECT_TRUE(processEnds(pid, 30000));
  EXPECT_EQ(sink->calls, 0);
  EXPECT_EQ(sink.use_count(), 1);
  DeleteFileW(record.c_str());
}

}  // namespace
