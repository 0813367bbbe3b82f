// The network repair operation as the main controller starts it (the
// controller's own, with no seam), with the real dispatcher, the scripted main
// view and the stand-in netsh.exe and ipconfig.exe in the prefix's system
// folder. There is no backend channel: the controller's first requests fail at
// once and it comes to rest with nothing loaded, where repair is accepted.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/win/FormMainController.h"
#include "bridge/win/LoginStart.h"
#include "bridge/win/NetworkRepairOperation.h"
#include "core/FatalError.h"
#include "core/QuoteArgument.h"
#include "core/Text.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/System.h"
#include "service/ConnStateIds.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/FatalTrap.h"
#include "tests/support/MemorySavedConfigStore.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/ScriptedGui.h"
#include "tests/support/win/TestFolder.h"
#include "tests/support/win/WatchedRun.h"

namespace {

using Microsoft::WRL::ComPtr;
using Calls = std::vector<std::string>;

size_t countOf(const Calls& calls, const std::string& call) { return std::count(calls.begin(), calls.end(), call); }

// The progress calls, without their interface's name.
Calls progressCalls(const Calls& calls) {
  const std::string prefix = "IOperationProgress::";
  Calls kept;
  for (const std::string& call : calls)
    if (startsWith(call, prefix)) kept.push_back(call.substr(prefix.size()));
  return kept;
}

Calls begun(const std::string& end) { return {"setDeterminate 0", "showStatus 90005", end}; }

// The command line the operation gives a tool: its quoted path in the system
// folder, then the argument text.
std::string commandLine(const wchar_t* exe, const std::string& args) {
  return toUtf8(quoteArgument(joinPath(system32Folder(), exe))) + " " + args;
}

std::wstring standInOf(const std::wstring& tool) {
  return tool == L"netsh.exe" ? netshStandInPath() : ipconfigStandInPath();
}

const Calls winsockRuns = {"start winsock", "end winsock"};
const Calls releaseRenewRuns = {"start release", "end release", "start renew", "end renew"};

class NetworkRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(installSystemTool(netshStandInPath(), L"netsh.exe"));
    ASSERT_TRUE(installSystemTool(ipconfigStandInPath(), L"ipconfig.exe"));
    runs_ = uniqueTempPath(L"runs");
    hold_ = uniqueTempPath(L"hold");
    SetEnvironmentVariableW(L"ZAV_TOOL_RUNS", runs_.c_str());
    for (const wchar_t* name : {L"ZAV_TOOL_HOLD", L"ZAV_TOOL_SLEEP_MS", L"ZAV_NETSH_EXIT", L"ZAV_IPCONFIG_EXIT",
                                L"ZAV_NETSH_RECORD", L"ZAV_IPCONFIG_RECORD"})
      SetEnvironmentVariableW(name, nullptr);
    tokens_ = {{commandLine(L"netsh.exe", "winsock reset"), "winsock"},
               {commandLine(L"ipconfig.exe", "/release"), "release"},
               {commandLine(L"ipconfig.exe", "/renew"), "renew"}};
  }

  void TearDown() override {
    gui_.observer = nullptr;
    if (dispatcher_) {
      gui_.releaseShown();
      gui_.closeMain();
      dispatcher_.reset();
    }
    EXPECT_EQ(gui_.liveObjects(), 0) << "GUI objects the client still holds";
    for (int run = 0; run < 4; ++run) release(run);  // a stand-in left waiting ends
    Sleep(100);
    DeleteFileW(runs_.c_str());
    for (int run = 0; run < 4; ++run) DeleteFileW((hold_ + std::to_wstring(run)).c_str());
    EXPECT_EQ(unfreedComObjects(log_.text()), Calls()) << "native objects without their Free";
  }

  // Each run of a held tool waits for its own release.
  void holdRuns() { SetEnvironmentVariableW(L"ZAV_TOOL_HOLD", hold_.c_str()); }
  void release(int run) { writeWideFile(hold_ + std::to_wstring(run), ""); }

  // The controller in its main window, at rest; whenIdle then runs on the
  // main thread. Returns once the scenario has left the window.
  void run(std::function<void()> whenIdle) {
    // Without startGui the dispatcher has no channel.
    dispatcher_ = std::make_shared<MainDispatcher>(
        nullptr, nullptr, nullptr, std::make_unique<MemorySavedConfigStore>(savedConfigStoreHolding("{}")));
    dispatcher_->setConnState(connState::ready);  // as after a login
    ComPtr<FormMainController> controller(
        new FormMainController(dispatcher_, ControllerSeams(), loginControllerStarter(dispatcher_, ControllerSeams())));
    ASSERT_EQ(controller.As(&gui_.mainController), S_OK);
    ComPtr<IMainView> view;
    *view.GetAddressOf() = gui_.newMainView();  // MinGW's Attach adds a reference
    gui_.observer = [this](const std::string& call) { observe(call); };
    controller->attach(view.Get());
    later([this, whenIdle] {
      ASSERT_EQ(gui_.calls.back(), "IMainView::enableIdleControls2 1") << "not at rest";
      whenIdle();
    });
    controller.Reset();
    view.Reset();
    runWatched(dispatcher_, std::chrono::seconds(40), [this] {
      std::string calls;
      for (const std::string& call : gui_.calls) calls += "\n  " + call;
      ADD_FAILURE() << "scenario did not end; calls so far:" << calls;
      for (int run = 0; run < 4; ++run) release(run);
      if (auto operation = currentOperation()) operation->cancel();
      leave();
    });
  }

  // Repair of group, with the busy count of the operation added.
  void repair(UINT group) {
    int busy = dispatcher_->busyCount();
    size_t begun = countOf(gui_.calls, "IMainView::beginOperation");
    EXPECT_EQ(gui_.mainController->repair(group), S_OK);
    EXPECT_EQ(countOf(gui_.calls, "IMainView::beginOperation"), begun + 1) << "repair " << group << " refused";
    EXPECT_EQ(dispatcher_->busyCount(), busy + 1);
  }

  // At each end of an operation: the busy count is back to the controller's
  // alone, the controller has the repair controls on again, then onEnd. After
  // the last one expected, 300 ms for anything the operation would still do,
  // then out of the window.
  void observe(const std::string& call) {
    if (!startsWith(call, "IOperationProgress::end")) return;
    ++ends_;
    later([this] {
      EXPECT_EQ(dispatcher_->busyCount(), 1) << "the operation's count is lowered once, at its end";
      EXPECT_EQ(gui_.calls.back(), "IMainView::enableIdleControls2 1") << "the controller was not told";
      if (onEnd) onEnd();
      if (ends_ == expectedEnds_) after(300, [this] { leave(); });
    });
  }

  void leave() {
    gui_.observer = nullptr;
    gui_.releaseShown();
    gui_.closeMain();
  }

  void later(std::function<void()> action) { dispatcher_->post(std::move(action)); }
  void after(int ms, std::function<void()> action) {
    postAfter(dispatcher_, std::chrono::milliseconds(ms), std::move(action));
  }

  // The tools' runs, each command line by its name ("start release").
  Calls runs() {
    Calls named;
    std::string text = fileOrNone(runs_);
    if (text == "<none>") return named;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = text.substr(start, end - start);
      size_t space = line.find(' ');
      auto token = tokens_.find(line.substr(space + 1));
      named.push_back(token == tokens_.end() ? line : line.substr(0, space + 1) + token->second);
    }
    return named;
  }
  bool ran(const std::string& run) { return countOf(runs(), run) > 0; }
  // Polls on the main thread until the run line is there (the watchdog ends
  // a wait that never does).
  void whenRun(const std::string& run, std::function<void()> action) {
    if (ran(run)) {
      action();
      return;
    }
    after(20, [this, run, action] { whenRun(run, action); });
  }
  // Blocks the main thread, so the command's report waits in the queue.
  void blockUntilRun(const std::string& run) {
    for (int waited = 0; !ran(run) && waited < 10000; waited += 10) Sleep(10);
    ASSERT_TRUE(ran(run)) << run;
    Sleep(300);  // the exit watcher posts its report meanwhile
  }

  ComPtr<IOperation> currentOperation() {
    ComPtr<IOperation> operation;
    if (gui_.operation) gui_.operation.As(&operation);
    return operation;
  }
  // The object behind the GUI's operation, for reports that the test makes
  // up as its commands' sinks would post them.
  NetworkRepairOperation* repairOperation() { return static_cast<NetworkRepairOperation*>(currentOperation().Get()); }

  CapturedDebugLog log_;
  ScriptedGui gui_;
  std::shared_ptr<MainDispatcher> dispatcher_;
  std::wstring runs_;
  std::wstring hold_;
  std::map<std::string, std::string> tokens_;
  int ends_ = 0;
  int expectedEnds_ = 1;
  std::function<void()> onEnd;
};

// ---- each group to its end ----

struct RunCase {
  const char* name;
  UINT group;
  const wchar_t* netshExit;
  const wchar_t* ipconfigExit;
  const wchar_t* missing;  // the tool not in the system folder
  Calls runs;
  std::string end;
};

class RepairRunTest : public NetworkRepairTest, public ::testing::WithParamInterface<RunCase> {};

void PrintTo(const RunCase& c, std::ostream* out) { *out << c.name; }

TEST_P(RepairRunTest, runsTheGroupsCommandsOneAtATime) {
  const RunCase& c = GetParam();
  // Each run lasts long enough for an overlap to show.
  SetEnvironmentVariableW(L"ZAV_TOOL_SLEEP_MS", L"150");
  SetEnvironmentVariableW(L"ZAV_NETSH_EXIT", c.netshExit);
  SetEnvironmentVariableW(L"ZAV_IPCONFIG_EXIT", c.ipconfigExit);
  if (c.missing) {
    ASSERT_TRUE(removeSystemTool(c.missing));
  }
  run([this, &c] {
    repair(c.group);
    // Back in place before the failed start is reported: a command run after
    // it would show.
    if (c.missing) later([&c] { EXPECT_TRUE(installSystemTool(standInOf(c.missing), c.missing)); });
  });
  EXPECT_EQ(progressCalls(gui_.calls), begun(c.end));
  EXPECT_EQ(runs(), c.runs);
}

const RunCase runCases[] = {
    {"winsockReset", 0, L"0", nullptr, nullptr, winsockRuns, "endSuccess 90006"},
    // Exit codes are not looked at.
    {"winsockResetFailing", 0, L"5", nullptr, nullptr, winsockRuns, "endSuccess 90006"},
    {"releaseThenRenew", 1, nullptr, L"0", nullptr, releaseRenewRuns, "endSuccess 90006"},
    // As Wine's own ipconfig does.
    {"releaseAndRenewFailing", 1, nullptr, L"1", nullptr, releaseRenewRuns, "endSuccess 90006"},
    {"netshMissing", 0, nullptr, nullptr, L"netsh.exe", {}, "endError 20031"},
    // "/renew" is not tried once "/release" could not be started.
    {"ipconfigMissing", 1, nullptr, nullptr, L"ipconfig.exe", {}, "endError 20031"},
};
INSTANTIATE_TEST_SUITE_P(Groups, RepairRunTest, ::testing::ValuesIn(runCases),
                         [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

// ---- cancel ----

struct CancelCase {
  const char* name;
  UINT group;
  int at;             // the run during which the user cancels; -1: before the first starts
  bool reportQueued;  // after that run has ended, with its report not yet handled
  Calls runs;
  const wchar_t* missing =
      nullptr;  // the tool not in the system folder: cancelled with the failed start's report queued
};

class RepairCancelTest : public NetworkRepairTest, public ::testing::WithParamInterface<CancelCase> {};

void PrintTo(const CancelCase& c, std::ostream* out) { *out << c.name; }

// Group 0's command is ended at once. Group 1, once "/release" has started,
// runs to its end: the machine is never left without "/renew". Either way the
// operation ends with endSuccess(0), once.
TEST_P(RepairCancelTest, endsWithSuccessZero) {
  const CancelCase& c = GetParam();
  if (c.missing) {
    ASSERT_TRUE(removeSystemTool(c.missing));
  }
  holdRuns();
  for (int run = 0; run < 2; ++run)
    if (run != c.at) release(run);
  run([this, &c] {
    repair(c.group);
    if (c.at < 0) {
      currentOperation()->cancel();
      return;
    }
    if (c.missing) {
      later([this] { currentOperation()->cancel(); });  // after the first command's start
      return;
    }
    const std::string name = c.group == 0 ? "winsock" : c.at == 0 ? "release" : "renew";
    whenRun("start " + name, [this, &c, name] {
      if (c.reportQueued) {
        release(c.at);
        blockUntilRun("end " + name);
        currentOperation()->cancel();
        return;
      }
      currentOperation()->cancel();
      after(300, [this, &c, name] {
        if (c.group == 1) {
          EXPECT_EQ(ends_, 0) << "ended while " << name << " runs";
          EXPECT_FALSE(ran("end " + name)) << name << " was ended";
        }
        release(c.at);
      });
    });
    // A command that the cancel did not end would show its end now.
    onEnd = [this, &c] { release(c.at); };
  });
  EXPECT_EQ(progressCalls(gui_.calls), begun("endSuccess 0"));
  EXPECT_EQ(runs(), c.runs);
}

const CancelCase cancelCases[] = {
    {"winsockBeforeItStarts", 0, -1, false, {}},
    {"whileWinsockResetRuns", 0, 0, false, {"start winsock"}},
    {"winsockResetEndedReportQueued", 0, 0, true, winsockRuns},
    {"releaseBeforeItStarts", 1, -1, false, {}},
    {"whileReleaseRuns", 1, 0, false, releaseRenewRuns},
    {"whileRenewRuns", 1, 1, false, releaseRenewRuns},
    {"releaseEndedReportQueued", 1, 0, true, releaseRenewRuns},
    {"renewEndedReportQueued", 1, 1, true, releaseRenewRuns},
    {"netshCannotStartReportQueued", 0, 0, true, {}, L"netsh.exe"},
    {"ipconfigCannotStartReportQueued", 1, 0, true, {}, L"ipconfig.exe"},
};
INSTANTIATE_TEST_SUITE_P(Points, RepairCancelTest, ::testing::ValuesIn(cancelCases),
                         [](const ::testing::TestParamInfo<CancelCase>& info) { return std::string(info.param.name); });

// ---- late and stale reports, refusals ----

TEST_F(NetworkRepairTest, reportsOfCommandsNoLongerCurrentChangeNothing) {
  holdRuns();
  release(0);
  Calls atEnd;
  run([this, &atEnd] {
    repair(1);
    whenRun("start renew", [this] {
      // "/release" reported again while "/renew" runs.
      repairOperation()->onCommandDone(true, 0);
      repairOperation()->onCommandDone(false, 0);
      after(200, [this] {
        EXPECT_EQ(ends_, 0);
        EXPECT_EQ(countOf(runs(), "start renew"), 1u);
        release(1);
      });
    });
    onEnd = [this, &atEnd] {
      if (!atEnd.empty()) return;
      atEnd = gui_.calls;
      NetworkRepairOperation* operation = repairOperation();
      operation->onCommandDone(true, 1);
      operation->onCommandDone(false, 1);
      operation->onCommandDone(true, 2);
      EXPECT_EQ(operation->cancel(), S_OK);
    };
  });
  EXPECT_EQ(progressCalls(gui_.calls), begun("endSuccess 90006"));
  EXPECT_EQ(runs(), releaseRenewRuns);
  EXPECT_EQ(gui_.calls, atEnd) << "a report after the end reached the GUI";
}

TEST_F(NetworkRepairTest, refusedWhileARepairRunsAndAcceptedAgainAfterIt) {
  EXPECT_EQ(FormMainController::repairGroups, repairCommandGroups().size());
  holdRuns();
  release(1);
  release(2);
  expectedEnds_ = 2;
  run([this] {
    repair(0);
    whenRun("start winsock", [this] {
      size_t calls = gui_.calls.size();
      for (UINT group : {0u, 1u}) EXPECT_EQ(gui_.mainController->repair(group), S_OK);
      EXPECT_EQ(gui_.calls.size(), calls) << "a second repair was accepted";
      EXPECT_EQ(dispatcher_->busyCount(), 2);
      release(0);
    });
    onEnd = [this] {
      if (ends_ == 1) repair(1);
    };
  });
  EXPECT_EQ(progressCalls(gui_.calls), (Calls{"setDeterminate 0", "showStatus 90005", "endSuccess 90006",
                                              "setDeterminate 0", "showStatus 90005", "endSuccess 90006"}));
  EXPECT_EQ(runs(),
            (Calls{"start winsock", "end winsock", "start release", "end release", "start renew", "end renew"}));
}

// ---- a failing GUI call ends the process with its call site's number ----

struct FatalCase {
  const char* name;
  const char* failing;
  bool cancel;
  const wchar_t* missing;
  int code;
};

class RepairFatalTest : public NetworkRepairTest, public ::testing::WithParamInterface<FatalCase> {};

void PrintTo(const FatalCase& c, std::ostream* out) { *out << c.name; }

TEST_P(RepairFatalTest, endsTheProcessWithTheCallSitesNumber) {
  const FatalCase& c = GetParam();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setFatalErrorHook(&exitReportingFatalCode);
        if (c.missing) removeSystemTool(c.missing);
        gui_.failing = c.failing;
        run([this, &c] {
          repair(0);
          if (c.cancel) currentOperation()->cancel();
        });
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "Error Code: " + std::to_string(c.code) + "\n");
}

const FatalCase fatalCases[] = {
    {"setDeterminate", "IOperationProgress::setDeterminate", false, nullptr, 97},
    {"showStatus", "IOperationProgress::showStatus", false, nullptr, 90},
    {"endSuccessFinished", "IOperationProgress::endSuccess", false, nullptr, 91},
    {"endErrorCannotStart", "IOperationProgress::endError", false, L"netsh.exe", 78},
    {"endSuccessCancelled", "IOperationProgress::endSuccess", true, nullptr, 79},
};
INSTANTIATE_TEST_SUITE_P(CallSites, RepairFatalTest, ::testing::ValuesIn(fatalCases),
                         [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

}  // namespace
