#include "bridge/win/UpdateDownloader.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/StatusCodes.h"
#include "core/NumberError.h"
#include "core/RandomGenerator.h"
#include "core/SavedConfig.h"
#include "core/SignatureVerifier.h"
#include "core/Text.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/System.h"
#include "tests/support/HttpScenarios.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win/RecordingGui.h"
#include "tests/support/ManifestSigner.h"
#include "tests/support/win/TestFolder.h"
#include "update/UpdateBlock.h"
#include "update/win/UpdateHandoff.h"

namespace {

class NoSettings : public SavedConfigStore {
 public:
  std::unique_ptr<std::string> read() override { return nullptr; }
  bool write(const std::string&) override { return true; }
};

// The login controller as the downloader sees it: a COM reference and its
// updateDone.
class FakeOwner : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--count); }
  int count = 0;
};

// The GUI's progress interface: records each call without the interface's
// name, but the fractions, which it keeps as numbers; questions are answered by the test's script, which may
// change what the server holds first.
class ProgressRecord : public IOperationProgress {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--count); }

  HRESULT call(const std::string& text) {
    const std::string method = text.substr(text.find("::") + 2);
    if (method.compare(0, 11, "setProgress") != 0) calls.push_back(method);
    return S_OK;
  }
  void progressSet(float fraction) {
    fractions.push_back(fraction);
    if (onProgress) onProgress(fraction);
  }
  BOOL answerAsk(int id) { return answer && answer(id); }
  void progressEnded() {}

  int count = 0;
  std::vector<std::string> calls;
  std::vector<float> fractions;
  std::function<bool(int)> answer;
  std::function<void(float)> onProgress;
};
const std::string kClient = "new client program";
const std::string kUpdater = "new updater program";
const std::string kLib = "shared library";
std::string hexOf(const std::string& bytes) { return Sha1Digest::of(bytes).toHex(); }

// Runs under download_server.py (update files by name) inside
// http_scenario_server.py (a stalling body).
class UpdateDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* server = std::getenv("ZAV_DOWNLOAD_SERVER");
    ASSERT_NE(server, nullptr) << "runs under tests/support/download_server.py";
    std::istringstream in(server);
    std::string folder;
    in >> port_ >> folder;
    serverFolder_ = hostPath(folder);
    serverLog_ = hostPath(folder.substr(0, folder.find_last_of('/')) + "/requests.log");
    for (const auto& name : {hexOf(kClient), hexOf(kUpdater), hexOf(kLib)}) DeleteFileW(served(name).c_str());
    DeleteFileW(fromUtf8(serverLog_).c_str());

    clientFolder_ = freshTestFolder(L"zav download ");
    dispatcher_ = std::make_shared<MainDispatcher>(nullptr, std::make_shared<RandomGenerator>(), nullptr,
                                                   std::make_unique<NoSettings>());
  }
  void TearDown() override { removeTestFolder(clientFolder_); }

  std::wstring served(const std::string& name) const { return fromUtf8(serverFolder_) + L"\\" + fromUtf8(name); }
  void serve(const std::string& content) { ASSERT_TRUE(writeWideFile(served(hexOf(content)), content)); }
  void serveAs(const std::string& name, const std::string& bytes) { ASSERT_TRUE(writeWideFile(served(name), bytes)); }
  std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    std::ifstream in(serverLog_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::unique_ptr<UpdateManifest> manifest(const std::string& deleted, const std::string& required) {
    std::string json = "{\"entryProgram\":\"" + hexOf(kClient) + "\",\"updaterProgram\":\"" + hexOf(kUpdater) +
                       "\",\"deletedFiles\":" + deleted + ",\"requiredFiles\":" + required + "}";
    std::string pem = readFileBytes(testKeyPath("service-test-public.pem"));
    auto verifier = SignatureVerifier::createFromPem(pem.c_str());
    auto made = std::make_unique<UpdateManifest>(signedManifest(json), *verifier);
    made->checkInstalledFiles(clientFolder_ + L"\\client.exe");
    return made;
  }

  // Runs the operation to its end on this thread's dispatcher loop.
  void run(std::unique_ptr<UpdateManifest> made, const std::string& baseUrl = "") {
    UpdateSeams seams;
    seams.baseUrl = baseUrl.empty() ? "http://127.0.0.1:" + std::to_string(port_) : baseUrl;
    seams.handOver = [this](const UpdateManifest& ready) {
      progress_.calls.push_back("handOver");
      handedMissing_ = static_cast<int>(ready.countMissing());
      handedContents_ = ready.filesAtHand().size();
    };
    auto* operation =
        new UpdateDownloader(dispatcher_, &owner_, [this] { ++updateDone_; }, std::move(made), std::move(seams));
    operation->AddRef();
    operation_ = operation;
    EXPECT_EQ(dispatcher_->busyCount(), 1);
    operation->start(&progress_);
    dispatcher_->run();
    EXPECT_EQ(dispatcher_->busyCount(), 0);
    EXPECT_EQ(progress_.count, 0) << "the progress interface is still held";
    EXPECT_EQ(updateDone_, 1);
    operation->Release();
    operation_ = nullptr;
    EXPECT_EQ(owner_.count, 0) << "the login controller is still held";
  }

  std::string updaterWritten() const {
    return fileOrNone(clientFolder_ + L"\\ZAV.upd");
  }
  std::string get(const std::string& content) const { return "GET /" + hexOf(content) + " 200"; }
  std::string missing(const std::string& content) const { return "GET /" + hexOf(content) + " 404"; }

  uint16_t port_ = 0;
  std::string serverFolder_;
  std::string serverLog_;
  std::wstring clientFolder_;
  std::shared_ptr<MainDispatcher> dispatcher_;
  FakeOwner owner_;
  RecordingProgress<ProgressRecord> progress_;
  UpdateDownloader* operation_ = nullptr;
  int updateDone_ = 0;
  int handedMissing_ = -1;
  size_t handedContents_ = 0;
};

TEST_F(UpdateDownload, FetchesEachMissingContentOnceAndRetriesWrongBytes) {
  serve(kUpdater);
  serveAs(hexOf(kClient), "not the client");
  serve(kLib);
  progress_.answer = [this](int id) {
    EXPECT_EQ(id, progress::askRetryDigest);
    serve(kClient);
    return true;
  };
  run(manifest("[]", "{\"a.dll\":\"" + hexOf(kLib) + "\",\"b\\\\a.dll\":\"" + hexOf(kLib) + "\"}"));

  EXPECT_EQ(progress_.calls, (std::vector<std::string>{"setDeterminate 1", "showStatus 90007", "ask 90010",
                                                       "showStatus 90008", "handOver"}));
  EXPECT_EQ(requests(), (std::vector<std::string>{get(kUpdater), get(kClient), get(kClient), get(kLib)}));
  EXPECT_EQ(handedMissing_, 0);
  EXPECT_EQ(handedContents_, 3u);
  EXPECT_EQ(updaterWritten(), kUpdater);
  // The bar moves by thirds; the refused body had taken it to 2/3, and the
  // retry goes back to 1/3 because it did not count.
  std::vector<float> whole;
  for (float f : progress_.fractions)
    for (float step : {0.0f, 1.0f / 3, 2.0f / 3, 1.0f})
      if (f == step && (whole.empty() || whole.back() != f)) whole.push_back(f);
  EXPECT_EQ(whole, (std::vector<float>{0.0f, 1.0f / 3, 2.0f / 3, 1.0f / 3, 2.0f / 3, 1.0f}));
  for (float f : progress_.fractions) {
    EXPECT_GE(f, 0.0f);
    EXPECT_LE(f, 1.0f);
  }
}

TEST_F(UpdateDownload, RetriesAFailedFileOrGivesUpWhenTold) {
  serve(kUpdater);
  int asked = 0;
  progress_.answer = [&](int id) {
    EXPECT_EQ(id, progress::askRetryDownload);
    ++asked;
    if (asked == 1) return true;  // the client program is still missing: asked again
    if (asked == 2) {
      serve(kClient);
      return true;
    }
    return false;  // the library never appears
  };
  run(manifest("[]", "{\"a.dll\":\"" + hexOf(kLib) + "\"}"));
  EXPECT_EQ(progress_.calls, (std::vector<std::string>{"setDeterminate 1", "showStatus 90007", "ask 90009", "ask 90009",
                                                        "ask 90009", "endSuccess 0"}));
  EXPECT_EQ(requests(), (std::vector<std::string>{get(kUpdater), missing(kClient), missing(kClient), get(kClient),
                                                  missing(kLib)}));
  EXPECT_EQ(updaterWritten(), "<none>");
}

TEST_F(UpdateDownload, NeedsNoDownloadWhenEverythingIsAtHand) {
  ASSERT_TRUE(writeWideFile(clientFolder_ + L"\\client.exe", kClient));
  ASSERT_TRUE(writeWideFile(clientFolder_ + L"\\ZAV.upd", kUpdater));
  CreateDirectoryW((clientFolder_ + L"\\old").c_str(), nullptr);
  auto made = manifest("[\"old\"]", "{}");
  ASSERT_TRUE(made->updateNeeded());
  run(std::move(made));
  EXPECT_EQ(progress_.calls,
            (std::vector<std::string>{"setDeterminate 1", "showStatus 90007", "showStatus 90008", "handOver"}));
  EXPECT_EQ(progress_.fractions, (std::vector<float>{0.0f, 1.0f}));
  EXPECT_TRUE(requests().empty());
}

TEST_F(UpdateDownload, EndsWithAnErrorWhenTheUpdaterCannotBeWritten) {
  serve(kUpdater);
  serve(kClient);
  auto made = manifest("[]", "{}");
  deleteTree(clientFolder_);
  run(std::move(made));
  EXPECT_EQ(progress_.calls, (std::vector<std::string>{"setDeterminate 1", "showStatus 90007", "showStatus 90008",
                                                        "endError 20032"}));
}

TEST_F(UpdateDownload, CancelDuringAStalledDownloadEndsQuietly) {
  HttpScenarios scenarios;
  // Every content URL lands on the stalling body: 10 of 1000 bytes, then silence.
  std::string stalling = scenarios.url("plain", "/stall-body?");
  progress_.onProgress = [this](float fraction) {
    if (fraction > 0.0f && fraction < 1.0f / 3) operation_->cancel();
  };
  run(manifest("[]", "{}"), stalling);
  EXPECT_EQ(progress_.calls, (std::vector<std::string>{"setDeterminate 1", "showStatus 90007", "endSuccess 0"}));
  EXPECT_NEAR(progress_.fractions.back(), 0.01f / 2, 1e-6);
}

// The hand-off's start, with a stand-in in the updater's place.
class UpdaterStart : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = freshTestFolder(L"zav start ");
    program_ = folder_ + L"\\stand in updater.exe";
    ASSERT_TRUE(writeWideFile(program_, builtFile("tests/updater_stand_in_client.exe")));
  }
  void TearDown() override { removeTestFolder(folder_); }
  std::string starts() const {
    std::string text = fileOrNone(folder_ + L"\\starts.txt");
    return text == "<none>" ? "" : text;
  }
  static bool runningNamed(const wchar_t* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
      if (_wcsicmp(entry.szExeFile, name) == 0) found = true;
    CloseHandle(snapshot);
    return found;
  }

  std::wstring folder_;
  std::wstring program_;
};

TEST_F(UpdaterStart, PassesTheBlockAndItsSizeAndResumesTheUpdater) {
  // The stand-in stays until it is ended, so the handle in the block can be
  // looked up inside it whatever the timing.
  ASSERT_TRUE(writeWideFile(folder_ + L"\\hold", ""));
  std::string fields(1234, 'f');
  UpdaterLaunch launch = launchUpdater(program_, fields, GetCurrentProcess());
  EXPECT_EQ(launch.blockSize, 1238u);
  EXPECT_EQ(launch.commandLine, L"\"" + program_ + L"\" 1238");
  MEMORY_BASIC_INFORMATION region{};
  VirtualQuery(launch.view.get(), &region, sizeof(region));
  EXPECT_GE(region.RegionSize, 1238u);
  const unsigned char* block = static_cast<const unsigned char*>(launch.view.get());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block), 1234), fields);
  // The last four bytes name this process inside the updater.
  HANDLE back = nullptr;
  uint32_t value = handoff::loadU32(block + 1234);
  EXPECT_TRUE(DuplicateHandle(launch.process.get(), reinterpret_cast<HANDLE>(handoff::blockValueToHandle(value)),
                              GetCurrentProcess(), &back, 0, FALSE, DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(GetProcessId(back), GetCurrentProcessId());
  if (back) CloseHandle(back);
  for (int i = 0; i < 200 && starts().empty(); ++i) Sleep(50);
  EXPECT_EQ(starts(), "2|\"" + toUtf8(program_) + "\" 1238\n");
  TerminateProcess(launch.process.get(), 0);
  ASSERT_EQ(WaitForSingleObject(launch.process.get(), 20000), WAIT_OBJECT_0);
}

TEST_F(UpdaterStart, FailsWhenTheSharedMemoryExistsAndEndsTheSuspendedUpdater) {
  HANDLE stale = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, L"Global\\KWEL_GUI_GUPD");
  ASSERT_NE(stale, nullptr);
  try {
    launchUpdater(program_, std::string(100, 'f'), GetCurrentProcess());
    ADD_FAILURE() << "started over an old object";
  } catch (const NumberError& error) {
    EXPECT_EQ(error.code(), 21);
  }
  CloseHandle(stale);
  Sleep(500);
  EXPECT_FALSE(runningNamed(L"stand in updater.exe")) << "the suspended updater was left behind";
  EXPECT_EQ(starts(), "");

  try {
    launchUpdater(folder_ + L"\\missing.exe", "", GetCurrentProcess());
    ADD_FAILURE() << "started a missing program";
  } catch (const NumberError& error) {
    EXPECT_EQ(error.code(), 20);
  }
}

}  // namespace
