// The runtime installer window, driven like a user would from a second thread
// while the test's main thread runs the window and its loop. Needs a display.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <mbedtls/sha512.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/QuoteArgument.h"
#include "core/RandomGenerator.h"
#include "core/Text.h"
#include "core/UiTaskQueue.h"
#include "core/app/win/DotNetSetup.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/LinkChecks.h"
#include "core/win/System.h"
#include "core/win/UiTaskQueueWin.h"
#include "tests/support/HttpScenarios.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/SeenFolders.h"
#include "tests/support/win/TestFolder.h"

namespace {

// The texts of the window and its message boxes, written independently of the code.
const wchar_t kPromptCaption[] = L"\u672A\u627E\u5230.NET Framework";
const wchar_t kPromptText[] =
    L"\u6B64\u7A0B\u5E8F\u9700\u8981.NET Framework 4.5\u624D\u53EF\u542F\u52A8\n"
    L"\u662F\u5426\u4E0B\u8F7D\u5E76\u5B89\u88C5?";
const wchar_t kWindowTitle[] = L"\u6B63\u5728\u4E0B\u8F7D\u5E76\u5B89\u88C5.NET Framework 4.5";
const wchar_t kDownloadingLabel[] = L"\u6B63\u5728\u4E0B\u8F7D";
const wchar_t kInstallingLabel[] = L"\u6B63\u5728\u5B89\u88C5";
const wchar_t kCancelText[] = L"\u53D6\u6D88";
const wchar_t kRetryCaption[] = L"\u4E0B\u8F7D\u5931\u8D25";
const wchar_t kRetryText[] = L"\u4E0B\u8F7D\u5931\u8D25, \u662F\u5426\u91CD\u8BD5?";
const wchar_t kDigestCaption[] = L"\u9519\u8BEF";
const wchar_t kDigestText[] = L"\u5B89\u88C5\u5305\u6821\u9A8C\u5931\u8D25";
const wchar_t kFailedCaption[] = L"\u5B89\u88C5\u5931\u8D25";
const wchar_t kCannotRunText[] = L"\u8FD0\u884C\u5B89\u88C5\u7A0B\u5E8F\u5931\u8D25";
const wchar_t kInstallerErrorText[] = L"\u5B89\u88C5\u7A0B\u5E8F\u8FD0\u884C\u51FA\u9519";
const wchar_t kSucceededCaption[] = L"\u5B89\u88C5\u6210\u529F";
const wchar_t kSucceededText[] = L"\u5B89\u88C5\u6210\u529F, \u8BF7\u91CD\u65B0\u8FD0\u884C\u672C\u7A0B\u5E8F";
constexpr int kCancelId = 0xABCD;
constexpr DWORD kWait = 20000;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string sha512Hex(const std::string& bytes) {
  unsigned char digest[64];
  mbedtls_sha512_ret(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest, 0);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

BOOL CALLBACK printOwnWindow(HWND window, LPARAM) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId() && IsWindowVisible(window)) {
    wchar_t title[256] = {};
    wchar_t text[256] = {};
    GetWindowTextW(window, title, 256);
    GetWindowTextW(GetDlgItem(window, 0xFFFF), text, 256);  // a message box's text
    std::fprintf(stderr, "  \"%s\" \"%s\"\n", toUtf8(title).c_str(), toUtf8(text).c_str());
  }
  return TRUE;
}

// Ends the whole test program when a step hangs (a message box nobody answers
// blocks the main thread for ever), after saying which windows were up.
class Watchdog {
 public:
  explicit Watchdog(DWORD timeoutMs) : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread_ = std::thread([this, timeoutMs] {
      if (WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0) return;
      std::fprintf(stderr, "watchdog: %s still running after %lu ms; windows:\n",
                   ::testing::UnitTest::GetInstance()->current_test_info()->name(), timeoutMs);
      EnumWindows(&printOwnWindow, 0);
      std::fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
    });
  }
  ~Watchdog() {
    SetEvent(done_);
    thread_.join();
    CloseHandle(done_);
  }

 private:
  HANDLE done_;
  std::thread thread_;
};

// The download server: the HTTP scenario server that the test runs under,
// with the stand-in installer among its scenarios.
class InstallerServer {
 public:
  InstallerServer()
      : installer_(readFileBytes(hostPath(environment("ZAV_BINARY_DIR") + "/tests/dotnet_standin_installer.exe"))) {}
  InstallerServer(const InstallerServer&) = delete;
  InstallerServer& operator=(const InstallerServer&) = delete;

  std::string url(const std::string& path) const { return scenarios_.url("plain", path); }
  const std::string& installer() const { return installer_; }
  int requestCount() const {
    std::string log;
    try {
      log = readFileBytes(scenarios_.file("requests"));
    } catch (const std::runtime_error&) {
      return 0;
    }
    return int(std::count(log.begin(), log.end(), '\n'));
  }

 private:
  HttpScenarios scenarios_;
  std::string installer_;
};

// --- the user's side, on the driver thread ---

struct FoundWindow {
  const wchar_t* className;
  const wchar_t* title;
  HWND found;
};

BOOL CALLBACK matchOwnWindow(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<FoundWindow*>(parameter);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t name[64] = {};
  wchar_t text[256] = {};
  GetClassNameW(window, name, 64);
  GetWindowTextW(window, text, 256);
  if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
      (!search->className || std::wstring(name) == search->className) &&
      (!search->title || std::wstring(text) == search->title)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND findOwnWindow(const wchar_t* className, const wchar_t* title) {
  FoundWindow search{className, title, nullptr};
  EnumWindows(&matchOwnWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND waitForWindow(const wchar_t* className, const wchar_t* title) {
  for (DWORD waited = 0; waited < kWait; waited += 20) {
    if (HWND window = findOwnWindow(className, title)) return window;
    Sleep(20);
  }
  return nullptr;
}

std::wstring textOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

bool waitFor(const std::function<bool()>& condition, DWORD timeoutMs = kWait) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (condition()) return true;
    Sleep(20);
  }
  return condition();
}

// Waits for the message box with this caption, returns its text and presses
// the button.
std::wstring answerMessageBox(const wchar_t* caption, int button) {
  HWND box = waitForWindow(L"#32770", caption);
  if (!box) {
    ADD_FAILURE() << "no message box \"" << toUtf8(caption) << "\"";
    return L"";
  }
  std::wstring text = textOf(GetDlgItem(box, 0xFFFF));
  PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
  waitFor([box] { return !IsWindow(box); });
  return text;
}

// What the stand-in installer wrote; it may still hold the file for a moment.
std::string readRecord(const std::wstring& path) {
  for (int attempt = 0;; ++attempt) {
    try {
      return readWideFile(path);
    } catch (const std::runtime_error&) {
      if (attempt == 100) throw;
      Sleep(20);
    }
  }
}

LRESULT progressOf(HWND window) {
  return SendMessageW(FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr), PBM_GETPOS, 0, 0);
}

// Position and size of a child in its parent's client area.
RECT childRect(HWND parent, HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
  return RECT{rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

void expectRect(const RECT& rect, LONG x, LONG y, LONG width, LONG height, const char* what) {
  EXPECT_EQ(rect.left, x) << what;
  EXPECT_EQ(rect.top, y) << what;
  EXPECT_EQ(rect.right, width) << what;
  EXPECT_EQ(rect.bottom, height) << what;
}

// Runs the user's script on a driver thread while this thread runs body; if
// the script fails half-way it answers whatever is left up so body can end.
void driveWhile(const std::function<void()>& script, const std::function<void()>& body) {
  Watchdog watchdog(90000);
  std::atomic<bool> bodyDone{false};
  std::thread driver([&] {
    try {
      script();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "the driver stopped: " << e.what();
    }
    if (::testing::Test::HasFailure()) {
      while (!bodyDone) {
        if (HWND box = findOwnWindow(L"#32770", nullptr)) {
          for (int button : {IDNO, IDOK}) PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
        } else if (HWND window = findOwnWindow(nullptr, kWindowTitle)) {
          PostMessageW(window, WM_COMMAND, kCancelId, 0);
        }
        Sleep(100);
      }
    }
  });
  body();
  bodyDone = true;
  driver.join();
}

class DotNetSetupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new InstallerServer(); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    record = uniqueTempPath(L"dotnet-standin");
    SetEnvironmentVariableW(L"ZAV_STANDIN_RECORD", record.c_str());
    SetEnvironmentVariableW(L"ZAV_STANDIN_EXIT", nullptr);
    SetEnvironmentVariableW(L"ZAV_STANDIN_WAIT", nullptr);
  }
  void TearDown() override { DeleteFileW(record.c_str()); }

  RuntimeInstallerSource source(const std::string& path) const {
    return RuntimeInstallerSource{server->url(path), sha512Hex(server->installer())};
  }

  static InstallerServer* server;
  std::wstring record;
};
InstallerServer* DotNetSetupTest::server = nullptr;

TEST_F(DotNetSetupTest, PromptAnsweredNoStartsNothing) {
  int before = server->requestCount();
  std::wstring text;
  driveWhile([&] { text = answerMessageBox(kPromptCaption, IDNO); },
             [&] { installDotNetFramework(source("/installer")); });
  EXPECT_EQ(text, kPromptText);
  EXPECT_EQ(server->requestCount(), before);
  EXPECT_EQ(findOwnWindow(nullptr, kWindowTitle), nullptr);
  EXPECT_EQ(GetFileAttributesW(record.c_str()), INVALID_FILE_ATTRIBUTES) << "the installer ran";
}

TEST_F(DotNetSetupTest, InstallsWithTheStandInAndReportsItsExitCode) {
  struct Case {
    const char* path;
    const wchar_t* exitCode;
    const wchar_t* caption;
    const wchar_t* text;
  } cases[] = {
      {"/installer", L"0", kSucceededCaption, kSucceededText},
      {"/installer-chunked", L"0", kSucceededCaption, kSucceededText},  // no total announced
      {"/installer", L"3010", kSucceededCaption, kSucceededText},       // done, restart needed
      {"/installer", L"1641", kSucceededCaption, kSucceededText},       // done, restart started
      {"/installer", L"1603", kFailedCaption, kInstallerErrorText},
      {"/installer", L"1", kFailedCaption, kInstallerErrorText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " exit " + toUtf8(c.exitCode));
    DeleteFileW(record.c_str());
    SetEnvironmentVariableW(L"ZAV_STANDIN_EXIT", c.exitCode);
    std::wstring promptText, resultText;
    std::string recorded;
    driveWhile(
        [&] {
          promptText = answerMessageBox(kPromptCaption, IDYES);
          if (!waitForFile(record, kWait)) return ADD_FAILURE() << "the installer did not run";
          recorded = readRecord(record);
          // The temporary installer file is gone by the time the result shows.
          std::wstring installerPath = fromUtf8(recorded.substr(recorded.find('\n') + 1));
          HWND box = waitForWindow(L"#32770", c.caption);
          EXPECT_EQ(GetFileAttributesW(installerPath.c_str()), INVALID_FILE_ATTRIBUTES);
          (void)box;
          resultText = answerMessageBox(c.caption, IDOK);
        },
        [&] { installDotNetFramework(source(c.path)); });
    EXPECT_EQ(promptText, kPromptText);
    EXPECT_EQ(resultText, c.text);
    size_t lineEnd = recorded.find('\n');
    ASSERT_NE(lineEnd, std::string::npos);
    std::wstring installerPath = fromUtf8(recorded.substr(lineEnd + 1));
    // The program's own path may spell the folders in another case.
    EXPECT_TRUE(samePath(fromUtf8(recorded.substr(0, lineEnd)), quoteArgument(installerPath) + L" /q /norestart"))
        << recorded;
  }
}

// The installer runs elevated and unpacks into its TMP: its own admin-only
// folder is that and its current folder too, whatever the user's TMP and TEMP.
TEST_F(DotNetSetupTest, TheInstallerRunsInItsOwnFolder) {
  const std::wstring userTemp = uniqueTempPath(L"user temp");
  ASSERT_TRUE(CreateDirectoryW(userTemp.c_str(), nullptr));
  const std::wstring folders = joinPath(userTemp, L"folders.txt");
  SetEnvironmentVariableW(L"ZAV_FOLDERS_RECORD", folders.c_str());
  std::wstring resultText;
  {
    UserTempFolder user(userTemp);
    driveWhile(
        [&] {
          answerMessageBox(kPromptCaption, IDYES);
          resultText = answerMessageBox(kSucceededCaption, IDOK);
        },
        [&] { installDotNetFramework(source("/installer")); });
  }
  SetEnvironmentVariableW(L"ZAV_FOLDERS_RECORD", nullptr);
  EXPECT_EQ(resultText, kSucceededText);
  std::string recorded = readRecord(record);
  std::wstring folder = parentFolder(fromUtf8(recorded.substr(recorded.find('\n') + 1)));
  EXPECT_EQ(readSeenFolders(folders), (SeenFolders{folder, folder, folder}));
  EXPECT_TRUE(samePath(parentFolder(folder), systemTempFolder())) << toUtf8(folder);
  DeleteFileW(folders.c_str());
  RemoveDirectoryW(userTemp.c_str());
}

TEST_F(DotNetSetupTest, WhileTheInstallerRunsTheWindowCanNeitherBeCancelledNorClosed) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"ZavDotNetStandInRelease");
  ASSERT_NE(release, nullptr);
  SetEnvironmentVariableW(L"ZAV_STANDIN_WAIT", L"ZavDotNetStandInRelease");
  std::wstring resultText;
  driveWhile(
      [&] {
        answerMessageBox(kPromptCaption, IDYES);
        if (!waitForFile(record, kWait)) return ADD_FAILURE() << "the installer did not run";
        // The running installer's file is in an admin-only folder below the
        // Windows folder's Temp (not the user's), and held so that no one
        // may change, replace or remove it.
        std::string recorded = readRecord(record);
        std::wstring installerPath = fromUtf8(recorded.substr(recorded.find('\n') + 1));
        EXPECT_TRUE(samePath(parentFolder(parentFolder(installerPath)), systemTempFolder())) << toUtf8(installerPath);
        HANDLE writer = CreateFileW(installerPath.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "the installer can be written while it runs";
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        EXPECT_FALSE(DeleteFileW(installerPath.c_str()));
        HWND window = findOwnWindow(nullptr, kWindowTitle);
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(IsWindowEnabled(window));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, kCancelId)));
        EXPECT_EQ(textOf(FindWindowExW(window, nullptr, L"STATIC", nullptr)), kInstallingLabel);
        EXPECT_EQ(progressOf(window), 10000);
        // What a disabled window can still be sent.
        PostMessageW(window, WM_COMMAND, kCancelId, 0);
        PostMessageW(window, WM_CLOSE, 0, 0);
        Sleep(500);
        EXPECT_TRUE(IsWindow(window));
        EXPECT_EQ(findOwnWindow(L"#32770", nullptr), nullptr);
        SetEvent(release);
        resultText = answerMessageBox(kSucceededCaption, IDOK);
      },
      [&] { installDotNetFramework(source("/installer")); });
  EXPECT_EQ(resultText, kSucceededText);
  CloseHandle(release);
}

TEST_F(DotNetSetupTest, CancelOrCloseDuringASlowDownloadEndsWithoutAMessage) {
  // "/stall-body" announces 1000 bytes, sends 10 and then nothing.
  struct Case {
    const char* name;
    bool cancel;
    bool close;
  } cases[] = {
      {"Cancel", true, false},
      {"close", false, true},
      {"Cancel and close in one pass", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> returned{false};
    driveWhile(
        [&] {
          answerMessageBox(kPromptCaption, IDYES);
          HWND window = waitForWindow(nullptr, kWindowTitle);
          ASSERT_NE(window, nullptr);
          RECT client{};
          GetClientRect(window, &client);
          EXPECT_EQ(client.right, 500);
          EXPECT_EQ(client.bottom, 100);
          RECT frame{};
          GetWindowRect(window, &frame);
          EXPECT_EQ(frame.left, (GetSystemMetrics(SM_CXSCREEN) - (frame.right - frame.left)) / 2);
          EXPECT_EQ(frame.top, (GetSystemMetrics(SM_CYSCREEN) - (frame.bottom - frame.top)) / 2);

          HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
          HWND label = FindWindowExW(window, nullptr, L"STATIC", nullptr);
          HWND cancel = GetDlgItem(window, kCancelId);
          ASSERT_TRUE(bar && label && cancel);
          expectRect(childRect(window, bar), 20, 30, 460, 20, "progress bar");
          expectRect(childRect(window, label), 0, 10, 500, 20, "label");
          expectRect(childRect(window, cancel), 210, 60, 80, 30, "Cancel");
          EXPECT_EQ(textOf(label), kDownloadingLabel);
          EXPECT_EQ(textOf(cancel), kCancelText);
          EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 10000);
          EXPECT_TRUE(waitFor([&] { return progressOf(window) == 100; })) << progressOf(window);

          if (c.cancel) PostMessageW(cancel, BM_CLICK, 0, 0);
          if (c.close) PostMessageW(window, WM_CLOSE, 0, 0);
          waitFor([&] { return returned || findOwnWindow(L"#32770", nullptr); });
          EXPECT_EQ(findOwnWindow(L"#32770", nullptr), nullptr) << "a message box came up";
        },
        [&] {
          installDotNetFramework(source("/stall-body"));
          returned = true;
        });
    EXPECT_TRUE(returned);
    EXPECT_EQ(GetFileAttributesW(record.c_str()), INVALID_FILE_ATTRIBUTES) << "the installer ran";
  }
}

TEST_F(DotNetSetupTest, FailedDownloadAsksToRetry) {
  struct Case {
    std::string url;
    int retries;  // answered Yes this often, then No
    int requests;
  } cases[] = {
      {server->url("/404"), 0, 1},
      {server->url("/404"), 2, 3},
      {server->url("/truncated"), 0, 1},
      {"ftp://127.0.0.1/installer", 1, 0},  // not a URL the client can fetch
      {"http://127.0.0.1:1/installer", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " retries " + std::to_string(c.retries));
    int before = server->requestCount();
    std::vector<std::wstring> texts;
    driveWhile(
        [&] {
          answerMessageBox(kPromptCaption, IDYES);
          for (int i = 0; i < c.retries; ++i) texts.push_back(answerMessageBox(kRetryCaption, IDYES));
          texts.push_back(answerMessageBox(kRetryCaption, IDNO));
        },
        [&] { installDotNetFramework(RuntimeInstallerSource{c.url, sha512Hex(server->installer())}); });
    EXPECT_EQ(texts, std::vector<std::wstring>(size_t(c.retries + 1), kRetryText));
    EXPECT_EQ(server->requestCount() - before, c.requests);
  }
}

TEST_F(DotNetSetupTest, OneWrongByteFailsTheCheckAndAsksToRetry) {
  std::wstring checkText, retryText;
  driveWhile(
      [&] {
        answerMessageBox(kPromptCaption, IDYES);
        checkText = answerMessageBox(kDigestCaption, IDOK);
        retryText = answerMessageBox(kRetryCaption, IDNO);
      },
      [&] { installDotNetFramework(source("/installer-damaged")); });
  EXPECT_EQ(checkText, kDigestText);
  EXPECT_EQ(retryText, kRetryText);
  EXPECT_EQ(GetFileAttributesW(record.c_str()), INVALID_FILE_ATTRIBUTES) << "the damaged installer ran";
}

TEST_F(DotNetSetupTest, AFileThatIsNoProgramEndsTheWindowWithoutRetry) {
  // "/length" serves "0123456789": it passes a check made for it but can't be started.
  std::wstring text;
  driveWhile(
      [&] {
        answerMessageBox(kPromptCaption, IDYES);
        text = answerMessageBox(kFailedCaption, IDOK);
      },
      [&] { installDotNetFramework(RuntimeInstallerSource{server->url("/length"), sha512Hex("0123456789")}); });
  EXPECT_EQ(text, kCannotRunText);
}

// The window's own loop, for tests that reach into it from the driver thread.
class WindowRun {
 public:
  explicit WindowRun(const RuntimeInstallerSource& source)
      : queue_(makeMessageWaitSignal()),
        window_(&queue_, std::make_shared<RandomGenerator>(), source) {}
  DotNetSetupWindow& window() { return window_; }
  UiTaskQueue& queue() { return queue_; }
  void run() {
    window_.startDownload();
    queue_.run();
  }
  // Runs fn on the window's thread and waits for it (not while a message box is up).
  template <typename Fn>
  auto onWindowThread(Fn fn) -> decltype(fn()) {
    std::packaged_task<decltype(fn())()> task(fn);
    auto result = task.get_future();
    queue_.post([&task] { task(); });
    return result.get();
  }

 private:
  UiTaskQueue queue_;
  DotNetSetupWindow window_;
};

TEST_F(DotNetSetupTest, RetryStartsANewRequestAndResultsOfTheOldOneAreDropped) {
  WindowRun run(source("/stall-body"));
  DotNetSetupWindow& window = run.window();
  int before = server->requestCount();
  std::wstring retryText;
  driveWhile(
      [&] {
        HWND handle = waitForWindow(nullptr, kWindowTitle);
        ASSERT_NE(handle, nullptr);
        ASSERT_TRUE(waitFor([&] { return progressOf(handle) == 100; }));
        ASSERT_EQ(run.onWindowThread([&] { return window.requestId(); }), 1u);
        // The first request fails...
        run.queue().post([&] { window.onDownloadError(1); });
        retryText = answerMessageBox(kRetryCaption, IDYES);
        EXPECT_EQ(run.onWindowThread([&] { return window.requestId(); }), 2u);
        EXPECT_TRUE(waitFor([&] { return server->requestCount() - before == 2; }));
        EXPECT_TRUE(waitFor([&] { return progressOf(handle) == 100; }));
        // ...and its late reports change nothing.
        run.queue().post([&] {
          window.onProgress(1, 1000, 1000);
          window.onDownloaded(1, server->installer());
          window.onDownloadError(1);
        });
        Sleep(500);
        EXPECT_EQ(findOwnWindow(L"#32770", nullptr), nullptr);
        EXPECT_EQ(progressOf(handle), 100);
        EXPECT_EQ(textOf(FindWindowExW(handle, nullptr, L"STATIC", nullptr)), kDownloadingLabel);
        EXPECT_EQ(GetFileAttributesW(record.c_str()), INVALID_FILE_ATTRIBUTES) << "the installer ran";
        PostMessageW(GetDlgItem(handle, kCancelId), BM_CLICK, 0, 0);
      },
      [&] { run.run(); });
  EXPECT_EQ(retryText, kRetryText);
}

TEST_F(DotNetSetupTest, ProgressIsTheShareOfTheAnnouncedTotal) {
  struct Case {
    uint32_t done, total;
    LRESULT position;
  } cases[] = {
      {0, 0, 0},        {500, 0, 0},  // no total announced
      {250, 1000, 2500}, {1, 3, 3333},
      {2000, 1000, 10000},  // more than announced
      {0x80000000u, 0xFFFFFFFFu, 5000}, {0xFFFFFFFFu, 0xFFFFFFFFu, 10000},
  };
  WindowRun run(source("/silence"));
  DotNetSetupWindow& window = run.window();
  std::vector<LRESULT> positions;
  LRESULT afterRelease = -1;
  run.queue().post([&] {
    HWND bar = FindWindowExW(window.handle(), nullptr, PROGRESS_CLASSW, nullptr);
    for (const Case& c : cases) {
      window.onProgress(window.requestId(), c.done, c.total);
      positions.push_back(SendMessageW(bar, PBM_GETPOS, 0, 0));
    }
    window.finish();  // releases the download: later reports find none
    window.onProgress(window.requestId(), 1, 2);
    afterRelease = SendMessageW(bar, PBM_GETPOS, 0, 0);
  });
  Watchdog watchdog(30000);
  run.run();
  ASSERT_EQ(positions.size(), sizeof cases / sizeof cases[0]);
  for (size_t i = 0; i < positions.size(); ++i) {
    EXPECT_EQ(positions[i], cases[i].position) << cases[i].done << " of " << cases[i].total;
  }
  EXPECT_EQ(afterRelease, 10000);
}

}  // namespace

// Wine's X11 driver waits up to 2 s for a window manager to confirm that a
// top-level window is gone, and the virtual display has none: windows that no
// window manager is asked to manage skip that wait. The driver reads the
// setting when the process starts, so the program sets it for itself and runs
// the tests in a copy of itself. Windows ignores the key.
int main(int argc, char** argv) {
  if (GetEnvironmentVariableW(L"ZAV_DOTNET_SETUP_CHILD", nullptr, 0) == 0) {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring name = exe;
    name = name.substr(name.find_last_of(L"\\/") + 1);
    std::wstring key = L"Software\\Wine\\AppDefaults\\" + name + L"\\X11 Driver";
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Managed", REG_SZ, L"N", 2 * sizeof(wchar_t));
    SetEnvironmentVariableW(L"ZAV_DOTNET_SETUP_CHILD", L"1");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    std::wstring commandLine = GetCommandLineW();
    if (!CreateProcessW(exe, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
      std::fprintf(stderr, "cannot run the tests in a copy of this program\n");
      return 1;
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return int(code);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
