// The login controller driven through an in-process GUI, with the real
// dispatcher, backend channel (to the stand-in backend) and manifest download
// (from the stand-in download server).
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/StatusCodes.h"
#include "bridge/win/FormLoginController.h"
#include "bridge/win/LoginStart.h"
#include "core/FatalError.h"
#include "core/Json.h"
#include "core/RandomGenerator.h"
#include "core/SavedConfig.h"
#include "core/Text.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/SavedConfigFile.h"
#include "core/win/System.h"
#include "service/ApiResult.h"
#include "service/ConnThread.h"
#include "tests/support/ConnBackend.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/DownloadServer.h"
#include "tests/support/FatalTrap.h"
#include "tests/support/ManifestSigner.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win/ScriptedGui.h"
#include "tests/support/win/TestFolder.h"
#include "tests/support/win/WatchedRun.h"
#include "update/Sha1Digest.h"
#include "update/UpdateManifest.h"

namespace {

using Microsoft::WRL::ComPtr;
using Calls = std::vector<std::string>;

const std::string clientBytes = "client program, release 1";
const std::string updaterBytes = "updater program, release 1";
const std::string user = "j\xC3\xBCrgen";  // typed in the GUI as UTF-16, sent as UTF-8
const std::string password = "s3cret";

std::string hex(const std::string& bytes) { return Sha1Digest::of(bytes).toHex(); }

std::string document(const std::string& entryProgram, const std::string& deleted = "") {
  return "{\"entryProgram\":\"" + hex(entryProgram) + "\",\"updaterProgram\":\"" + hex(updaterBytes) +
         "\",\"deletedFiles\":[" + (deleted.empty() ? "" : "\"" + deleted + "\"") + "],\"requiredFiles\":{}}";
}

void writeFile(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << toUtf8(path);
}

Calls without(const Calls& calls, const std::string& prefix) {
  Calls kept;
  for (const std::string& call : calls)
    if (!startsWith(call, prefix)) kept.push_back(call);
  return kept;
}

size_t countOf(const Calls& calls, const std::string& call) { return std::count(calls.begin(), calls.end(), call); }

// Each "@<address>: New " line is to be matched by a later "@<address>: Free".
struct NativeObjects {
  int created = 0;
  std::vector<std::string> unfreed;
};
NativeObjects nativeObjects(const std::string& log) {
  NativeObjects objects;
  std::map<std::string, int> live;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] != '@') continue;
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string address = line.substr(0, colon);
    std::string what = line.substr(colon + 2);
    if (what == "New ") {
      ++live[address];
      ++objects.created;
    }
    if (what == "Free") --live[address];
  }
  for (const auto& entry : live)
    if (entry.second != 0) objects.unfreed.push_back(entry.first + " " + std::to_string(entry.second));
  return objects;
}

class LoginControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = freshTestFolder(L"zav login ");
    clientProgram_ = joinPath(root_, L"client.exe");
    writeFile(clientProgram_, clientBytes);
    writeFile(joinPath(root_, L"ZAV.upd"), updaterBytes);
    settingsFolder_ = joinPath(root_, L"settings");
    settingsFile_ = joinPath(settingsFolder_, L"SavedConfig.dat");
    useBaseUrl(serverUrl());
    serveManifest(signedManifest(document(clientBytes)));
  }

  void TearDown() override {
    bool ran = dispatcher_ != nullptr;
    if (ran) finish();
    NativeObjects objects = nativeObjects(log_.text());
    if (ran) {
      EXPECT_GT(objects.created, 0);
    }
    EXPECT_EQ(objects.unfreed, std::vector<std::string>()) << "native objects without their Free";
    removeTestFolder(root_);
  }

  std::string serverUrl() const { return downloads_.url(); }
  void useBaseUrl(const std::string& url) {
    updateSeams_.baseUrl = url;
    updateSeams_.clientProgram = clientProgram_;
    updateSeams_.handOver = [this](const UpdateManifest&) { gui_.note("handOver"); };
  }
  void serveManifest(const std::string& body) { writeFile(fromUtf8(downloads_.path("desc")), body); }
  void serveNoManifest() { DeleteFileW(fromUtf8(downloads_.path("desc")).c_str()); }

  // The client's start: settings loaded, channel made, login view shown.
  void start(const std::string& settings = "{}", int channelPort = 0) {
    if (!channelPort) channelPort = backend_.channelPort();
    CreateDirectoryW(settingsFolder_.c_str(), nullptr);
    ASSERT_TRUE(writeProtectedFile(settings, settingsFile_));
    auto makeChannel = [channelPort](std::shared_ptr<RandomGenerator> random, std::function<void(int)> onState) {
      return std::make_unique<ConnThread>(std::move(random), std::move(onState), "127.0.0.1", channelPort, 50);
    };
    ControllerSeams seams;
    seams.update = updateSeams_;
    dispatcher_ = std::make_shared<MainDispatcher>(loginStarter(gui_.newEntry(), seams),
                                                   std::make_shared<RandomGenerator>(), makeChannel,
                                                   std::make_unique<SavedConfigFile>(settingsFolder_, settingsFile_));
    dispatcher_->startGui();
  }

  // Runs the main loop until the GUI has closed its windows (or a watchdog
  // closes them after 30 s and fails the test).
  void run() {
    runWatched(dispatcher_, std::chrono::seconds(30), [this] {
      ADD_FAILURE() << "scenario did not end; calls so far: " << ::testing::PrintToString(gui_.calls);
      gui_.closeLogin();
      gui_.closeMain();
    });
  }

  void finish() {
    gui_.closeLogin();
    gui_.closeMain();
    dispatcher_.reset();
    EXPECT_EQ(gui_.liveObjects(), 0) << "GUI objects the client still holds";
  }

  // Posted, as a GUI acts on a later event rather than inside the client's call.
  void later(std::function<void()> action) { dispatcher_->post(std::move(action)); }
  void leaveAll() {
    later([this] {
      gui_.closeLogin();
      gui_.closeMain();
    });
  }

  HRESULT login(const std::string& name, const std::string& secret, BOOL remember) {
    BSTR nameText = makeBstr(fromUtf8(name));
    BSTR secretText = makeBstr(fromUtf8(secret));
    HRESULT result = gui_.loginController->login(nameText, secretText, remember);
    SysFreeString(nameText);
    SysFreeString(secretText);
    return result;
  }

  // Calls action (posted) once the channel is ready and the update check has
  // ended, the moment the login window lets the user log in.
  void whenLoginPossible(std::function<void()> action) {
    auto ready = std::make_shared<bool>(false);
    auto checked = std::make_shared<bool>(false);
    auto fired = std::make_shared<bool>(false);
    gui_.observer = [this, ready, checked, fired, action](const std::string& call) {
      if (call == "ILoginView::showConnState 4") *ready = true;
      if (call == "ILoginView::setUpdateChecking 0") *checked = true;
      if (*ready && *checked && !*fired) {
        *fired = true;
        later(action);
      }
    };
  }

  // The settings file decrypted; null when there is none.
  std::unique_ptr<rapidjson::Document> savedSettings() {
    std::unique_ptr<std::string> text = readProtectedFile(settingsFile_);
    if (!text) return nullptr;
    auto doc = std::make_unique<rapidjson::Document>();
    doc->Parse(text->c_str());
    if (doc->HasParseError() || !doc->IsObject()) return nullptr;
    return doc;
  }
  std::string saved(const std::string& key) {
    auto doc = savedSettings();
    return doc ? getStringOr(*doc, key, "<none>") : "<no file>";
  }

  int requestsSent() { return static_cast<int>(backend_.stats()["requests"].Size()); }

  CapturedDebugLog log_;
  ConnBackend backend_;
  ScriptedGui gui_;
  std::shared_ptr<MainDispatcher> dispatcher_;
  DownloadServer downloads_;
  std::wstring root_;
  std::wstring clientProgram_;
  UpdateSeams updateSeams_;
  std::wstring settingsFolder_;
  std::wstring settingsFile_;
};

// ---- attach ----

struct AttachCase {
  const char* name;
  const char* settings;
  Calls expected;
};

class AttachTest : public LoginControllerTest, public ::testing::WithParamInterface<AttachCase> {};

TEST_P(AttachTest, showsStateTwiceThenSavedLoginThenChecksForUpdate) {
  start(GetParam().settings);
  gui_.observer = [this](const std::string& call) {
    if (call == "ILoginView::setUpdateChecking 0") leaveAll();
  };
  run();
  Calls attach(gui_.calls.begin(), gui_.calls.begin() + std::min(gui_.calls.size(), GetParam().expected.size()));
  EXPECT_EQ(attach, GetParam().expected);
  EXPECT_EQ(without(gui_.calls, "ILoginView::showConnState").back(), "ILoginView::setUpdateChecking 0");
}

const AttachCase attachCases[] = {
    {"nothingSaved",
     "{}",
     {"IGuiEntry::showLogin", "ILoginView::showConnState 1", "ILoginView::showConnState 1",
      "ILoginView::setUpdateChecking 1", "ILoginView::setLoginBusy 0"}},
    {"onlyUserSaved",
     "{\"un\":\"anna\"}",
     {"IGuiEntry::showLogin", "ILoginView::showConnState 1", "ILoginView::showConnState 1",
      "ILoginView::setUpdateChecking 1", "ILoginView::setLoginBusy 0"}},
    {"onlyPasswordSaved",
     "{\"pw\":\"x\"}",
     {"IGuiEntry::showLogin", "ILoginView::showConnState 1", "ILoginView::showConnState 1",
      "ILoginView::setUpdateChecking 1", "ILoginView::setLoginBusy 0"}},
    {"bothSaved",
     "{\"un\":\"j\xC3\xBCrgen\",\"pw\":\"s3cret\"}",
     {"IGuiEntry::showLogin", "ILoginView::showConnState 1", "ILoginView::showConnState 1",
      "ILoginView::showSavedLogin \"j\xC3\xBCrgen\" \"s3cret\"", "ILoginView::setUpdateChecking 1",
      "ILoginView::setLoginBusy 0"}},
};
INSTANTIATE_TEST_SUITE_P(SavedLogins, AttachTest, ::testing::ValuesIn(attachCases),
                         [](const ::testing::TestParamInfo<AttachCase>& info) { return std::string(info.param.name); });

TEST_F(LoginControllerTest, followsEveryChannelStateWhileAttached) {
  start();
  gui_.observer = [this](const std::string& call) {
    if (call == "ILoginView::showConnState 4") leaveAll();
  };
  run();
  Calls states;
  for (const std::string& call : gui_.calls)
    if (startsWith(call, "ILoginView::showConnState")) states.push_back(call);
  // Twice at attach, then each state the channel reports from resolving on.
  EXPECT_EQ(states,
            (Calls{"ILoginView::showConnState 1", "ILoginView::showConnState 1", "ILoginView::showConnState 1",
                   "ILoginView::showConnState 2", "ILoginView::showConnState 3", "ILoginView::showConnState 4"}));
}

// ---- clearSavedLogin ----

struct ClearCase {
  const char* name;
  const char* settings;
  bool insidePrefill;
  const char* userAfter;
  const char* passwordAfter;
};

class ClearSavedLoginTest : public LoginControllerTest, public ::testing::WithParamInterface<ClearCase> {};

TEST_P(ClearSavedLoginTest, removesBothOrIgnoresTheCallDuringPrefill) {
  const ClearCase& c = GetParam();
  bool cleared = false;
  // The GUI empties its fields as it fills them, which some GUIs report as
  // "forget me": the controller must not take it as such.
  if (c.insidePrefill) {
    gui_.during["ILoginView::showSavedLogin"] = [this, &cleared] {
      EXPECT_EQ(gui_.loginController->clearSavedLogin(), S_OK);
      cleared = true;
    };
  }
  gui_.observer = [this, c, &cleared](const std::string& call) {
    if (call != "ILoginView::setUpdateChecking 0") return;
    if (!c.insidePrefill) {
      EXPECT_EQ(gui_.loginController->clearSavedLogin(), S_OK);
      cleared = true;
    }
    leaveAll();
  };
  start(c.settings);
  run();
  EXPECT_TRUE(cleared);
  EXPECT_EQ(saved("un"), c.userAfter);
  EXPECT_EQ(saved("pw"), c.passwordAfter);
}

const ClearCase clearCases[] = {
    {"bothSaved", "{\"un\":\"anna\",\"pw\":\"x\",\"gamePref\":\"g\"}", false, "<none>", "<none>"},
    {"onlyPasswordSaved", "{\"pw\":\"x\"}", false, "<none>", "<none>"},
    {"onlyUserSaved", "{\"un\":\"anna\"}", false, "<none>", "<none>"},
    {"insideShowSavedLogin", "{\"un\":\"anna\",\"pw\":\"x\"}", true, "anna", "x"},
};
INSTANTIATE_TEST_SUITE_P(Cases, ClearSavedLoginTest, ::testing::ValuesIn(clearCases),
                         [](const ::testing::TestParamInfo<ClearCase>& info) { return std::string(info.param.name); });

// ---- login ----

TEST_F(LoginControllerTest, sendsTheTypedCredentialsAsUtf8) {
  backend_.onRequest("{\"text\":\"{\\\"rst\\\":7}\"}");
  start();
  whenLoginPossible([this] { EXPECT_EQ(login(user, password, TRUE), S_OK); });
  gui_.during["ILoginView::showError 7"] = [this] { leaveAll(); };
  run();
  rapidjson::Document stats = backend_.stats();
  ASSERT_EQ(stats["requests"].Size(), 1u);
  EXPECT_EQ(jsonString(stats["requests"][0]["head"]), "{\"un\":\"j\xC3\xBCrgen\",\"pw\":\"s3cret\",\"op\":\"login\"}");
}

struct OutcomeCase {
  const char* name;
  const char* reply;  // the stand-in backend's action for the login request
  BOOL remember;
  const char* settings;
  Calls expected;  // from the login on, channel states left out
  const char* userAfter;
  const char* passwordAfter;
};

class LoginOutcomeTest : public LoginControllerTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(LoginOutcomeTest, reportsTheOutcomeAndSavesOnlyWhenAsked) {
  const OutcomeCase& c = GetParam();
  backend_.onRequest(c.reply);
  start(c.settings);
  size_t loginAt = 0;
  whenLoginPossible([this, c, &loginAt] {
    loginAt = gui_.calls.size();
    EXPECT_EQ(login(user, password, c.remember), S_OK);
  });
  auto base = gui_.observer;
  auto failed = std::make_shared<bool>(false);
  gui_.observer = [this, base, failed](const std::string& call) {
    base(call);
    if (startsWith(call, "ILoginView::showError")) *failed = true;
    if (call == "ILoginView::loggedIn" || (call == "ILoginView::setLoginBusy 0" && *failed)) leaveAll();
  };
  run();
  // The main window's own calls are the main controller's.
  Calls afterLogin = without(without(Calls(gui_.calls.begin() + loginAt, gui_.calls.end()), "ILoginView::showConnState"),
                             "IMainView::");
  EXPECT_EQ(afterLogin, c.expected);
  EXPECT_EQ(saved("un"), c.userAfter);
  EXPECT_EQ(saved("pw"), c.passwordAfter);
}

const OutcomeCase outcomeCases[] = {
    {"successRemembered",
     "{\"text\":\"{\\\"rst\\\":0}\"}",
     TRUE,
     "{}",
     {"ILoginView::setLoginBusy 1", "ILoginView::loggedIn"},
     "j\xC3\xBCrgen",
     "s3cret"},
    {"successNotRememberedKeepsEarlierLogin",
     "{\"text\":\"{\\\"rst\\\":0}\"}",
     FALSE,
     "{\"un\":\"anna\",\"pw\":\"old\"}",
     {"ILoginView::setLoginBusy 1", "ILoginView::loggedIn"},
     "anna",
     "old"},
    {"serverError",
     "{\"text\":\"{\\\"rst\\\":1004}\"}",
     TRUE,
     "{}",
     {"ILoginView::setLoginBusy 1", "ILoginView::showError 1004", "ILoginView::setLoginBusy 0"},
     "<none>",
     "<none>"},
    {"unusableReply",
     "{\"text\":\"{\\\"rst\\\":\\\"0\\\"}\"}",
     TRUE,
     "{}",
     {"ILoginView::setLoginBusy 1", "ILoginView::showError -3", "ILoginView::setLoginBusy 0"},
     "<none>",
     "<none>"},
    {"noReply",
     "{\"close\":true}",
     TRUE,
     "{}",
     {"ILoginView::setLoginBusy 1", "ILoginView::showError -2", "ILoginView::setLoginBusy 0"},
     "<none>",
     "<none>"},
};
INSTANTIATE_TEST_SUITE_P(Outcomes, LoginOutcomeTest, ::testing::ValuesIn(outcomeCases),
                         [](const ::testing::TestParamInfo<OutcomeCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(LoginControllerTest, refusesLoginWhileTheManifestDownloadRuns) {
  // The download server never answers this one: the check is still running
  // when the channel is ready.
  useBaseUrl(serverUrl() + "/silent");
  bool tried = false;
  gui_.during["ILoginView::showConnState 4"] = [this, &tried] {
    later([this, &tried] {
      EXPECT_EQ(dispatcher_->connState(), connState::ready);
      EXPECT_EQ(login(user, password, TRUE), S_OK);
      tried = true;
      gui_.closeLogin();
    });
  };
  start();
  run();
  EXPECT_TRUE(tried);
  EXPECT_EQ(countOf(gui_.calls, "ILoginView::setLoginBusy 1"), 0u);
  EXPECT_EQ(countOf(gui_.calls, "ILoginView::setUpdateChecking 0"), 0u);
  EXPECT_EQ(requestsSent(), 0);
}

TEST_F(LoginControllerTest, refusesLoginBeforeTheChannelIsReady) {
  start("{}", backend_.deadPort());
  gui_.observer = [this](const std::string& call) {
    if (call != "ILoginView::setUpdateChecking 0") return;
    EXPECT_FALSE(connState::connected(dispatcher_->connState()));
    EXPECT_EQ(login(user, password, TRUE), S_OK);
    leaveAll();
  };
  run();
  EXPECT_EQ(countOf(gui_.calls, "ILoginView::setLoginBusy 1"), 0u);
}

TEST_F(LoginControllerTest, refusesASecondLoginWhileOneIsInFlight) {
  backend_.onRequest("{\"text\":\"{\\\"rst\\\":5}\",\"delayMs\":200}");
  start();
  whenLoginPossible([this] {
    EXPECT_EQ(login(user, password, TRUE), S_OK);
    EXPECT_EQ(login("other", "pw", TRUE), S_OK);
  });
  auto base = gui_.observer;
  gui_.observer = [this, base](const std::string& call) {
    base(call);
    if (call == "ILoginView::showError 5") leaveAll();
  };
  run();
  EXPECT_EQ(countOf(gui_.calls, "ILoginView::setLoginBusy 1"), 1u);
  EXPECT_EQ(requestsSent(), 1);
}

TEST_F(LoginControllerTest, nullCredentialsAreInvalidAndTouchNothing) {
  start();
  whenLoginPossible([this] {
    size_t before = gui_.calls.size();
    BSTR name = makeBstr(L"anna");
    EXPECT_EQ(gui_.loginController->login(name, nullptr, TRUE), E_INVALIDARG);
    EXPECT_EQ(gui_.loginController->login(nullptr, name, TRUE), E_INVALIDARG);
    SysFreeString(name);
    EXPECT_EQ(gui_.calls.size(), before);
    leaveAll();
  });
  run();
  EXPECT_EQ(requestsSent(), 0);
}

TEST_F(LoginControllerTest, aReplyAfterDetachChangesAndSavesNothing) {
  backend_.onRequest("{\"text\":\"{\\\"rst\\\":0}\",\"delayMs\":100}");
  start();
  std::thread releaser;
  whenLoginPossible([this] { EXPECT_EQ(login(user, password, TRUE), S_OK); });
  gui_.during["ILoginView::setLoginBusy 1"] = [this, &releaser] {
    // Something else keeps the channel up until the reply has come and gone.
    dispatcher_->acquire();
    later([this] { gui_.closeLogin(); });
    std::weak_ptr<MainDispatcher> weak = dispatcher_;
    releaser = std::thread([this, weak] {
      // The request reaches the backend from the channel's own thread, and
      // its reply leaves 100 ms later; the main thread is not reading the
      // backend's record meanwhile.
      for (int i = 0; i < 100 && requestsSent() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::this_thread::sleep_for(std::chrono::milliseconds(800));
      if (auto dispatcher = weak.lock()) dispatcher->post([dispatcher] { dispatcher->release(); });
    });
  };
  run();
  releaser.join();
  EXPECT_EQ(requestsSent(), 1);
  EXPECT_EQ(gui_.calls.back(), "ILoginView::setLoginBusy 1");
  EXPECT_EQ(saved("un"), "<none>");
}

TEST_F(LoginControllerTest, detachLowersTheBusyCountOnce) {
  start();
  dispatcher_->acquire();  // another object keeps the program running
  ComPtr<ILoginController> controller = gui_.loginController;
  EXPECT_EQ(dispatcher_->busyCount(), 2);
  EXPECT_EQ(controller->detach(), S_OK);
  EXPECT_EQ(controller->detach(), S_OK);
  EXPECT_EQ(dispatcher_->busyCount(), 1);
  BSTR name = makeBstr(L"anna");
  EXPECT_EQ(controller->login(name, name, TRUE), S_OK);  // no view: refused
  SysFreeString(name);
  gui_.loginController.Reset();
  controller.Reset();
  dispatcher_->release();
  run();
  EXPECT_EQ(countOf(gui_.calls, "ILoginView::setLoginBusy 1"), 0u);
}

// The GUI's last reference goes on another thread while the controller is
// still subscribed; a state change comes before the posted destruction runs.
// Revived from 0 by the listener, it would be deleted there and then again.
TEST_F(LoginControllerTest, aControllerOnItsWayOutIgnoresStateChanges) {
  start();
  size_t callsBefore = 0;
  gui_.observer = [&](const std::string& call) {
    if (call != "ILoginView::setUpdateChecking 0") return;
    gui_.observer = nullptr;
    later([&] {
      ILoginController* last = gui_.loginController.Detach();
      std::thread([last] { last->Release(); }).join();
      callsBefore = gui_.calls.size();
      dispatcher_->setConnState(5);
      // It was never detached: the busy count it holds is given back here.
      later([this] { dispatcher_->release(); });
    });
  };
  run();
  // Its view released and its one Free are checked as the test ends.
  EXPECT_EQ(gui_.calls.size(), callsBefore) << gui_.calls.back();
}

// ---- update check ----

struct UpdateCase {
  const char* name;
  std::string body;  // served as /desc; empty: none
  bool unreachable;  // the URL's port refuses connections
  BOOL answer;
  Calls expected;  // after attach, channel states left out
};

class UpdateCheckTest : public LoginControllerTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(UpdateCheckTest, endsTheCheckAndThenAllowsTheLogin) {
  const UpdateCase& c = GetParam();
  if (c.unreachable) useBaseUrl("http://127.0.0.1:" + std::to_string(backend_.deadPort()));
  if (c.body.empty())
    serveNoManifest();
  else
    serveManifest(c.body);
  gui_.updateAnswer = c.answer;
  backend_.onRequest("{\"text\":\"{\\\"rst\\\":9}\"}");
  start();
  whenLoginPossible([this] { EXPECT_EQ(login(user, password, FALSE), S_OK); });
  auto base = gui_.observer;
  gui_.observer = [this, base](const std::string& call) {
    base(call);
    if (call == "ILoginView::showError 9") leaveAll();
  };
  run();
  Calls afterAttach = without(gui_.calls, "ILoginView::showConnState");
  ASSERT_GE(afterAttach.size(), 3u);
  afterAttach.erase(afterAttach.begin(), afterAttach.begin() + 3);  // showLogin, setUpdateChecking 1, setLoginBusy 0
  Calls expected = c.expected;
  expected.insert(expected.end(),
                  {"ILoginView::setLoginBusy 1", "ILoginView::showError 9", "ILoginView::setLoginBusy 0"});
  EXPECT_EQ(afterAttach, expected);
}

std::string badlySigned() {
  std::string body = signedManifest(document("client program, release 2"));
  std::string other = signedManifest(document(clientBytes));
  // The signature of a different document.
  return body.substr(0, body.find('\n') + 1) + other.substr(other.find('\n') + 1);
}

const UpdateCase updateCases[] = {
    {"downloadRefused", "x", true, FALSE, {"ILoginView::showError 20033", "ILoginView::setUpdateChecking 0"}},
    {"notFound", "", false, FALSE, {"ILoginView::showError 20033", "ILoginView::setUpdateChecking 0"}},
    {"badSignature", badlySigned(), false, FALSE, {"ILoginView::showError 20034", "ILoginView::setUpdateChecking 0"}},
    {"notBase64", "not a manifest", false, FALSE, {"ILoginView::showError 20034", "ILoginView::setUpdateChecking 0"}},
    {"upToDate", signedManifest(document(clientBytes)), false, FALSE, {"ILoginView::setUpdateChecking 0"}},
    {"declined", signedManifest(document("client program, release 2")), false, FALSE,
     {"ILoginView::askUpdate", "ILoginView::setUpdateChecking 0"}},
};
INSTANTIATE_TEST_SUITE_P(Manifests, UpdateCheckTest, ::testing::ValuesIn(updateCases),
                         [](const ::testing::TestParamInfo<UpdateCase>& info) { return std::string(info.param.name); });

TEST_F(LoginControllerTest, anAcceptedUpdateRunsAndRefusesLoginsUntilItEnds) {
  const std::string release2 = "client program, release 2";
  writeFile(fromUtf8(downloads_.path(hex(release2))), release2);
  serveManifest(signedManifest(document(release2)));
  // Answered late, so that the channel is ready and only the running update
  // refuses the login.
  useBaseUrl(serverUrl() + "/slow");
  gui_.updateAnswer = TRUE;
  gui_.during["ILoginView::beginUpdate"] = [this] {
    EXPECT_EQ(dispatcher_->connState(), connState::ready);
    EXPECT_EQ(login(user, password, FALSE), S_OK);
  };
  gui_.during["ILoginView::updateEnded"] = [this] { leaveAll(); };
  start();
  run();
  Calls afterAttach = without(gui_.calls, "ILoginView::showConnState");
  Calls progress;
  for (const std::string& call : afterAttach)
    if (startsWith(call, "IOperationProgress::") && !startsWith(call, "IOperationProgress::setProgress"))
      progress.push_back(call);
  afterAttach = without(afterAttach, "IOperationProgress::");
  EXPECT_EQ(afterAttach, (Calls{"IGuiEntry::showLogin", "ILoginView::setUpdateChecking 1", "ILoginView::setLoginBusy 0",
                                "ILoginView::askUpdate", "ILoginView::beginUpdate", "handOver",
                                "ILoginView::updateEnded", "ILoginView::setUpdateChecking 0"}));
  EXPECT_EQ(progress, (Calls{"IOperationProgress::setDeterminate 1", "IOperationProgress::showStatus 90007",
                             "IOperationProgress::showStatus 90008"}));
}

// A path must fit the client's join (260 units with the terminator) and leave
// the updater room for its temporary names (the target's folder plus 29
// units); one unit more is an unusable manifest here, before any download.
struct PathLengthCase {
  const char* name;
  int joinedSlack;  // units the longest joined path leaves (0: just fits)
  int folderSlack;  // units the deepest target folder leaves for temporary names
  bool deleted;     // the path is one to delete rather than to write
};

class PathLengthTest : public LoginControllerTest, public ::testing::WithParamInterface<PathLengthCase> {};

TEST_P(PathLengthTest, refusesAPathOneUnitTooLongBeforeAnyDownload) {
  const PathLengthCase& c = GetParam();
  const size_t folder = root_.size();
  ASSERT_LT(folder, 200u) << "the temporary folder leaves no room for the paths";
  // "name" joined: folder, separator, name, terminator in 260 units.
  std::string name(259 - folder - 1 - c.joinedSlack, 'n');
  // "deep/a": its folder, separator and a temporary name of 27 units, terminator.
  size_t deepUnits = 260 - 29 - c.folderSlack - folder - 1;
  std::string deep = std::string(deepUnits - 2, 'd') + "/e/a";
  const std::string release2 = "client program, release 2", lib = "library";
  writeFile(fromUtf8(downloads_.path(hex(release2))), release2);
  writeFile(fromUtf8(downloads_.path(hex(lib))), lib);
  std::string paths = "\"" + name + "\",\"" + deep + "\"";
  std::string json = "{\"entryProgram\":\"" + hex(release2) + "\",\"updaterProgram\":\"" + hex(updaterBytes) +
                     "\",\"deletedFiles\":[" + (c.deleted ? paths : "") + "],\"requiredFiles\":{" +
                     (c.deleted ? "" : "\"" + name + "\":\"" + hex(lib) + "\",\"" + deep + "\":\"" + hex(lib) + "\"") +
                     "}}";
  serveManifest(signedManifest(json));
  gui_.updateAnswer = TRUE;
  gui_.observer = [this](const std::string& call) {
    if (call == "ILoginView::setUpdateChecking 0") leaveAll();
  };
  start();
  run();
  Calls afterAttach = without(without(gui_.calls, "ILoginView::showConnState"), "IOperationProgress::");
  Calls expected{"IGuiEntry::showLogin", "ILoginView::setUpdateChecking 1", "ILoginView::setLoginBusy 0"};
  if (c.joinedSlack < 0 || c.folderSlack < 0)
    expected.insert(expected.end(), {"ILoginView::showError 20034", "ILoginView::setUpdateChecking 0"});
  else
    expected.insert(expected.end(), {"ILoginView::askUpdate", "ILoginView::beginUpdate", "handOver",
                                     "ILoginView::updateEnded", "ILoginView::setUpdateChecking 0"});
  EXPECT_EQ(afterAttach, expected);
}

const PathLengthCase pathLengthCases[] = {
    {"bothJustFit", 0, 0, false},
    {"deletedBothJustFit", 0, 0, true},
    {"joinedPathOneUnitTooLong", -1, 0, false},
    {"deletedJoinedPathOneUnitTooLong", -1, 0, true},
    {"noRoomForTemporaryNames", 0, -1, false},
    {"deletedNoRoomForTemporaryNames", 0, -1, true},
};
INSTANTIATE_TEST_SUITE_P(Limits, PathLengthTest, ::testing::ValuesIn(pathLengthCases),
                         [](const ::testing::TestParamInfo<PathLengthCase>& info) { return std::string(info.param.name); });

TEST_F(LoginControllerTest, aViewThatGoesAwayDuringTheQuestionCountsAsNo) {
  serveManifest(signedManifest(document("client program, release 2")));
  gui_.updateAnswer = TRUE;
  start();
  gui_.during["ILoginView::askUpdate"] = [this] { gui_.closeLogin(); };
  run();
  Calls afterAttach = without(gui_.calls, "ILoginView::showConnState");
  EXPECT_EQ(afterAttach.back(), "ILoginView::askUpdate");
  EXPECT_EQ(countOf(afterAttach, "ILoginView::beginUpdate"), 0u);
}

// ---- failing GUI calls ----

struct FatalCase {
  const char* name;
  const char* failing;  // method, or method:null
  int call;             // which of its calls
  const char* settings;
  std::string manifest;  // served as /desc; empty: none
  const char* reply;     // the login's reply
  int code;
};

class GuiFailureTest : public LoginControllerTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(GuiFailureTest, endsTheProcessWithTheCallSitesNumber) {
  const FatalCase& c = GetParam();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setFatalErrorHook(&exitReportingFatalCode);
        if (c.manifest.empty())
          serveNoManifest();
        else
          serveManifest(c.manifest);
        writeFile(joinPath(root_, L"old.dll"), "old");
        gui_.failing = c.failing;
        gui_.failingCall = c.call;
        gui_.updateAnswer = TRUE;
        backend_.onRequest(c.reply);
        start(c.settings);
        whenLoginPossible([this] { login(user, password, FALSE); });
        run();
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "Error Code: " + std::to_string(c.code) + "\n");
}

const std::string upToDate = signedManifest(document(clientBytes));
const std::string offered = signedManifest(document(clientBytes, "old.dll"));
const char* const failedReply = "{\"text\":\"{\\\"rst\\\":3}\"}";
const char* const successReply = "{\"text\":\"{\\\"rst\\\":0}\"}";

const FatalCase fatalCases[] = {
    {"showSavedLogin", "ILoginView::showSavedLogin", 1, "{\"un\":\"a\",\"pw\":\"b\"}", upToDate, failedReply, 1},
    {"showConnStateAtSubscription", "ILoginView::showConnState", 1, "{}", upToDate, failedReply, 2},
    {"showConnStateOnChange", "ILoginView::showConnState", 2, "{}", upToDate, failedReply, 5},
    {"setUpdateCheckingOn", "ILoginView::setUpdateChecking", 1, "{}", upToDate, failedReply, 3},
    {"setLoginBusyAtAttach", "ILoginView::setLoginBusy", 1, "{}", upToDate, failedReply, 4},
    {"showErrorOfUpdateCheck", "ILoginView::showError", 1, "{}", "", failedReply, 19},
    {"setUpdateCheckingAfterError", "ILoginView::setUpdateChecking", 2, "{}", "", failedReply, 20},
    {"setUpdateCheckingUpToDate", "ILoginView::setUpdateChecking", 2, "{}", upToDate, failedReply, 22},
    {"askUpdate", "ILoginView::askUpdate", 1, "{}", offered, failedReply, 21},
    {"beginUpdateWithoutProgress", "ILoginView::beginUpdate:null", 1, "{}", offered, failedReply, 18},
    {"updateEnded", "ILoginView::updateEnded", 1, "{}", offered, failedReply, 27},
    {"setUpdateCheckingAfterUpdate", "ILoginView::setUpdateChecking", 2, "{}", offered, failedReply, 28},
    {"setLoginBusyOn", "ILoginView::setLoginBusy", 2, "{}", upToDate, failedReply, 35},
    {"showErrorOfLogin", "ILoginView::showError", 1, "{}", upToDate, failedReply, 36},
    {"setLoginBusyAfterError", "ILoginView::setLoginBusy", 3, "{}", upToDate, failedReply, 114},
    {"loggedInWithoutMainView", "ILoginView::loggedIn:null", 1, "{}", upToDate, successReply, 40},
    {"loggedInFails", "ILoginView::loggedIn", 1, "{}", upToDate, successReply, 40},
};
INSTANTIATE_TEST_SUITE_P(CallSites, GuiFailureTest, ::testing::ValuesIn(fatalCases),
                         [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

}  // namespace
