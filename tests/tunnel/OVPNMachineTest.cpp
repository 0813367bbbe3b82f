// The tunnel machine's table against a fake system: every operation posted in
// every state it can hold, the armed rule, the installer's and the TAP step's
// outcomes, the owner's stop ending a step that blocks. Portable:
// it runs natively under the sanitizers and under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/EventLoop.h"
#include "core/Text.h"
#include "tests/support/DebugLogReader.h"
#include "tests/tunnel/TunnelTestSupport.h"
#include "tunnel/OVPNStateInstall.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"

namespace {

using Events = std::vector<std::string>;

class FakeInstallerFile : public OVPNInstallerFile {
 public:
  FakeInstallerFile(std::shared_ptr<EventRecord> record, std::wstring path)
      : record_(std::move(record)), path_(std::move(path)) {}
  ~FakeInstallerFile() override { record_->add("installer deleted"); }
  const std::wstring& path() const override { return path_; }

 private:
  std::shared_ptr<EventRecord> record_;
  std::wstring path_;
};

// Ends when the test says so, reporting from a thread of its own as the
// Windows watcher does.
class FakeProcess : public OVPNProcess {
 public:
  explicit FakeProcess(std::shared_ptr<EventRecord> record) : record_(std::move(record)) {}
  ~FakeProcess() override {
    if (exitThread_.joinable()) exitThread_.join();
    record_->add("process released");
  }
  void setExitCallback(std::function<void()> onExit) override { onExit_ = std::move(onExit); }
  uint32_t exitCode() const override { return exitCode_; }
  // Reports the end on another thread and waits until the report is posted.
  void end(uint32_t code) {
    exitCode_ = code;
    exitThread_ = std::thread([this] { onExit_(); });
    exitThread_.join();
  }

 private:
  std::shared_ptr<EventRecord> record_;
  std::function<void()> onExit_;
  std::atomic<uint32_t> exitCode_{1};
  std::thread exitThread_;
};

// A manual-reset event as Windows has it, waited on by a hanging tap step.
class FakeStopSignal : public OVPNStopSignal {
 public:
  void set() override {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  void reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }
  void* nativeHandle() const override { return nullptr; }
  bool isSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }
  bool waitSet(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// "{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}" as the GUID record lies in memory.
const AdapterGuid kAdapterGuid = {0x31, 0x2F, 0x8D, 0x5A, 0x7C, 0x0B, 0x96, 0x4E,
                                  0xA1, 0xD4, 0x3C, 0x2B, 0x9E, 0x8F, 0x7A, 0x60};
const std::string kAdminLog =
    "OVPN admin: no management listener in this build, adapter {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n";

class FakeSystem : public OVPNSystem {
 public:
  explicit FakeSystem(std::shared_ptr<EventRecord> record) : record_(std::move(record)) {}

  bool findOpenVpn(std::wstring& programPath) override {
    record_->add("findOpenVpn");
    programPath = L"C:\\OpenVPN\\bin\\OpenVPN.exe";
    return openVpnFound;
  }
  bool findTapWindows(std::wstring& tapFolder) override {
    record_->add("findTapWindows");
    if (holdTap) {
      std::unique_lock<std::mutex> lock(mutex_);
      tapHeld_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !holdTap; });
    }
    tapFolder = L"C:\\TAP-Windows";
    return tapFound;
  }
  std::unique_ptr<OVPNInstallerFile> writeInstaller(const std::string& bytes) override {
    record_->add("write " + bytes);
    if (!canWrite) return nullptr;
    return std::make_unique<FakeInstallerFile>(record_, L"C:\\Temp dir\\inst.exe");
  }
  std::unique_ptr<OVPNProcess> startProgram(const std::wstring& programPath,
                                            const std::wstring& commandLine) override {
    record_->add("start " + toUtf8(programPath) + " | " + toUtf8(commandLine));
    if (!canStart) return nullptr;
    auto process = std::make_unique<FakeProcess>(record_);
    running_ = process.get();
    return process;
  }

  std::unique_ptr<OVPNStopSignal> createStopSignal() override { return std::make_unique<FakeStopSignal>(); }
  // Records whether the stop signal was set when the step began. A hanging
  // step (a tapinstall at a system prompt) ends only when the signal is set.
  int prepareTapAdapter(const std::wstring& tapFolder, OVPNStopSignal& stopSignal, AdapterGuid& adapterGuid) override {
    auto& signal = static_cast<FakeStopSignal&>(stopSignal);
    record_->add("prepareTapAdapter " + toUtf8(tapFolder) + (signal.isSet() ? " signal set" : " signal clear"));
    if (tapHangs) {
      if (!signal.waitSet(20000)) record_->add("tap step never stopped");
      return 20017;
    }
    if (tapStatus == 0) adapterGuid = kAdapterGuid;
    return tapStatus;
  }
  // No test here reaches a running tunnel.
  std::unique_ptr<NetworkConfig> createNetworkConfig() override { return nullptr; }

  // Worker thread (from a task), while the installer's state exists.
  FakeProcess& running() { return *running_; }

  void waitUntilTapHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return tapHeld_; });
  }
  void releaseTap() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdTap = false;
    changed_.notify_all();
  }

  std::atomic<bool> openVpnFound{false};
  std::atomic<bool> tapFound{false};
  bool holdTap = false;  // set before start; then guarded by mutex_
  bool canWrite = true;
  bool canStart = true;
  std::atomic<int> tapStatus{0};
  std::atomic<bool> tapHangs{false};

 private:
  std::shared_ptr<EventRecord> record_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool tapHeld_ = false;
  FakeProcess* running_ = nullptr;
};

const std::string kStartLine =
    "start C:\\Temp dir\\inst.exe | \"C:\\Temp dir\\inst.exe\" /S /SELECT_SHORTCUTS=0 /SELECT_SERVICE=0 "
    "/SELECT_OPENVPNGUI=0 /SELECT_ASSOCIATIONS=0 /SELECT_PATH=0";

// One machine with its fake, its listener and its log.
struct Machine {
  Machine() : record(std::make_shared<EventRecord>()), system(std::make_shared<FakeSystem>(record)) {}

  void create() { thread = std::make_unique<OVPNThread>(std::make_shared<RecordingListener>(record), system); }
  // Runs ops on the worker in one go, so nothing the machine posts meanwhile
  // comes between them.
  void together(std::function<void()> ops) {
    thread->eventLoop().post(std::move(ops));
    settle(*thread);
  }
  // The machine is destroyed after a marker, so the events show which
  // reports the destruction caused.
  void destroy() {
    settle(*thread);
    record->add("destroy");
    thread.reset();
  }
  Events events() { return record->events(); }
  std::vector<std::string> states() { return loggedStates(log.text()); }
  // Brings the machine to its tap step with both programs found.
  void startToTap() {
    system->openVpnFound = true;
    system->tapFound = true;
    create();
    thread->start();
  }

  CapturedDebugLog log;
  std::shared_ptr<EventRecord> record;
  std::shared_ptr<FakeSystem> system;
  std::unique_ptr<OVPNThread> thread;
};

enum class From { idle, find, miss, inst, tap };
enum class Op { start, stop, install, connect, sendAuth };

void post(OVPNThread& thread, Op op) {
  switch (op) {
    case Op::start: return thread.start();
    case Op::stop: return thread.stop();
    case Op::install: return thread.install("op-bytes");
    case Op::connect: return thread.connect("client\n", "10.0.0.1", true, 1194, {RouteEntry{0x0A000001, ~0u, 0}});
    case Op::sendAuth: return thread.sendAuth("user", "password");
  }
}

// Brings a new machine into the state, then posts the operation there.
void runIn(Machine& m, From from, Op op) {
  if (from == From::tap) {
    m.system->openVpnFound = true;
    m.system->tapFound = true;
    m.system->holdTap = true;
  }
  m.create();
  OVPNThread& thread = *m.thread;
  switch (from) {
    case From::idle:
      post(thread, op);
      break;
    case From::find:
      // Detection is posted by start, so it runs after the operation.
      m.together([&thread, op] {
        thread.start();
        post(thread, op);
      });
      break;
    case From::miss:
      thread.start();
      ASSERT_TRUE(m.record->waitFor("missing"));
      post(thread, op);
      break;
    case From::inst:
      thread.start();
      ASSERT_TRUE(m.record->waitFor("missing"));
      thread.install("setup-bytes");
      ASSERT_TRUE(m.record->waitFor(kStartLine));
      post(thread, op);
      break;
    case From::tap:
      thread.start();
      m.system->waitUntilTapHeld();
      // Queued before the state "tap" posts its own work.
      post(thread, op);
      m.system->releaseTap();
      break;
  }
}

struct TableCase {
  const char* name;
  From from;
  Op op;
  std::vector<std::string> states;
  Events events;
};

const Events kToMiss = {"findOpenVpn", "missing"};
const Events kInstRunning = {"findOpenVpn", "missing", "write setup-bytes", kStartLine};
const Events kInstTornDown = {"process released", "installer deleted", "status 20015"};
const Events kToTap = {"findOpenVpn", "findTapWindows"};
const std::string kTapStep = "prepareTapAdapter C:\\TAP-Windows signal clear";
const Events kTapToAdmin = {kTapStep, "status 20029"};

Events join(std::initializer_list<Events> parts) {
  Events all;
  for (const Events& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const TableCase tableCases[] = {
    {"IdleStartFinds", From::idle, Op::start, {"idle", "find", "miss", "idle"},
     join({kToMiss, {"destroy", "status 20015"}})},
    {"IdleStopDoesNothing", From::idle, Op::stop, {"idle"}, {"destroy"}},
    {"IdleInstallDropped", From::idle, Op::install, {"idle"}, {"destroy"}},
    {"IdleConnectDropped", From::idle, Op::connect, {"idle"}, {"destroy"}},
    {"IdleSendAuthDropped", From::idle, Op::sendAuth, {"idle"}, {"destroy"}},

    {"FindStartRefused", From::find, Op::start, {"idle", "find", "miss", "idle"},
     join({{"status 20030"}, kToMiss, {"destroy", "status 20015"}})},
    // The detection task finds its state gone and looks at nothing.
    {"FindStopReportsOnce", From::find, Op::stop, {"idle", "find", "idle"}, {"status 20015", "destroy"}},
    {"FindInstallDropped", From::find, Op::install, {"idle", "find", "miss", "idle"},
     join({kToMiss, {"destroy", "status 20015"}})},
    {"FindConnectDropped", From::find, Op::connect, {"idle", "find", "miss", "idle"},
     join({kToMiss, {"destroy", "status 20015"}})},
    {"FindSendAuthDropped", From::find, Op::sendAuth, {"idle", "find", "miss", "idle"},
     join({kToMiss, {"destroy", "status 20015"}})},

    {"MissStartRefused", From::miss, Op::start, {"idle", "find", "miss", "idle"},
     join({kToMiss, {"status 20030", "destroy", "status 20015"}})},
    {"MissStopReportsOnce", From::miss, Op::stop, {"idle", "find", "miss", "idle"},
     join({kToMiss, {"status 20015", "destroy"}})},
    // Leaving by its own transition, "miss" reports nothing.
    {"MissInstallRunsInstaller", From::miss, Op::install, {"idle", "find", "miss", "inst", "idle"},
     join({kToMiss, {"write op-bytes", kStartLine, "destroy"}, kInstTornDown})},
    {"MissConnectDropped", From::miss, Op::connect, {"idle", "find", "miss", "idle"},
     join({kToMiss, {"destroy", "status 20015"}})},
    {"MissSendAuthDropped", From::miss, Op::sendAuth, {"idle", "find", "miss", "idle"},
     join({kToMiss, {"destroy", "status 20015"}})},

    {"InstStartRefused", From::inst, Op::start, {"idle", "find", "miss", "inst", "idle"},
     join({kInstRunning, {"status 20030", "destroy"}, kInstTornDown})},
    // The installer is ended and waited for before its file goes, then one report.
    {"InstStopEndsInstaller", From::inst, Op::stop, {"idle", "find", "miss", "inst", "idle"},
     join({kInstRunning, kInstTornDown, {"destroy"}})},
    {"InstInstallDropped", From::inst, Op::install, {"idle", "find", "miss", "inst", "idle"},
     join({kInstRunning, {"destroy"}, kInstTornDown})},
    {"InstConnectDropped", From::inst, Op::connect, {"idle", "find", "miss", "inst", "idle"},
     join({kInstRunning, {"destroy"}, kInstTornDown})},
    {"InstSendAuthDropped", From::inst, Op::sendAuth, {"idle", "find", "miss", "inst", "idle"},
     join({kInstRunning, {"destroy"}, kInstTornDown})},

    // The operation runs before the step, which then hands over to "admin".
    {"TapStartRefused", From::tap, Op::start, {"idle", "find", "tap", "admin", "idle"},
     join({kToTap, {"status 20030"}, kTapToAdmin, {"destroy"}})},
    {"TapStopReportsOnce", From::tap, Op::stop, {"idle", "find", "tap", "idle"},
     join({kToTap, {"status 20015", "destroy"}})},
    {"TapInstallDropped", From::tap, Op::install, {"idle", "find", "tap", "admin", "idle"},
     join({kToTap, kTapToAdmin, {"destroy"}})},
    {"TapConnectDropped", From::tap, Op::connect, {"idle", "find", "tap", "admin", "idle"},
     join({kToTap, kTapToAdmin, {"destroy"}})},
    {"TapSendAuthDropped", From::tap, Op::sendAuth, {"idle", "find", "tap", "admin", "idle"},
     join({kToTap, kTapToAdmin, {"destroy"}})},
};

void PrintTo(const TableCase& c, std::ostream* out) { *out << c.name; }

class OVPNMachineTable : public testing::TestWithParam<TableCase> {};

TEST_P(OVPNMachineTable, OperationInState) {
  const TableCase& c = GetParam();
  Machine m;
  runIn(m, c.from, c.op);
  m.destroy();
  EXPECT_EQ(m.events(), c.events);
  EXPECT_EQ(m.states(), c.states);
}

INSTANTIATE_TEST_SUITE_P(EveryOperationInEveryState, OVPNMachineTable, testing::ValuesIn(tableCases),
                         [](const testing::TestParamInfo<TableCase>& info) { return std::string(info.param.name); });

// Brings a machine into "inst" with the installer running.
void toInstall(Machine& m) {
  m.create();
  m.thread->start();
  ASSERT_TRUE(m.record->waitFor("missing"));
  m.thread->install("setup-bytes");
  ASSERT_TRUE(m.record->waitFor(kStartLine));
}

void endInstaller(Machine& m, uint32_t code) {
  m.together([&m, code] { m.system->running().end(code); });
}

TEST(OVPNMachineTest, InstallerSuccessReportsInstalledAndLooksAgain) {
  Machine m;
  toInstall(m);
  m.system->openVpnFound = true;
  m.system->tapFound = true;
  endInstaller(m, 0);
  m.destroy();
  EXPECT_EQ(m.events(), join({kInstRunning,
                              {"installed", "process released", "installer deleted", "findOpenVpn", "findTapWindows",
                               kTapStep, "status 20029", "destroy"}}));
  EXPECT_EQ(m.states(), (std::vector<std::string>{"idle", "find", "miss", "inst", "find", "tap", "admin", "idle"}));
}

TEST(OVPNMachineTest, InstallerThatLeavesAProgramMissingRaisesMissingAgain) {
  Machine m;
  toInstall(m);
  m.system->openVpnFound = true;
  endInstaller(m, 0);
  ASSERT_TRUE(m.record->waitFor("missing", 2));
  m.destroy();
  EXPECT_EQ(m.events(), join({kInstRunning,
                              {"installed", "process released", "installer deleted", "findOpenVpn", "findTapWindows",
                               "missing", "destroy", "status 20015"}}));
}

TEST(OVPNMachineTest, InstallerFailureReportsOnceAndAStartBeginsAgain) {
  Machine m;
  toInstall(m);
  endInstaller(m, 1);
  m.thread->start();
  ASSERT_TRUE(m.record->waitFor("missing", 2));
  m.destroy();
  // No teardown report: the state failed by itself.
  EXPECT_EQ(m.events(), join({kInstRunning,
                              {"status 20028", "process released", "installer deleted", "findOpenVpn", "missing",
                               "destroy", "status 20015"}}));
  EXPECT_EQ(m.states(), (std::vector<std::string>{"idle", "find", "miss", "inst", "idle", "find", "miss", "idle"}));
}

TEST(OVPNMachineTest, InstallerThatCannotBeWrittenOrStartedFailsToIdle) {
  struct Case {
    const char* name;
    bool canWrite;
    Events tail;
  } cases[] = {
      {"not written", false, {"write setup-bytes", "status 20026", "destroy"}},
      {"not started", true, {"write setup-bytes", kStartLine, "status 20027", "installer deleted", "destroy"}},
  };
  for (const Case& c : cases) {
    Machine m;
    m.system->canWrite = c.canWrite;
    m.system->canStart = false;
    m.create();
    m.thread->start();
    ASSERT_TRUE(m.record->waitFor("missing"));
    m.thread->install("setup-bytes");
    ASSERT_TRUE(m.record->waitFor(c.tail[c.tail.size() - 2])) << c.name;
    m.destroy();
    EXPECT_EQ(m.events(), join({kToMiss, c.tail})) << c.name;
    EXPECT_EQ(m.states(), (std::vector<std::string>{"idle", "find", "miss", "inst", "idle"})) << c.name;
  }
}

TEST(OVPNMachineTest, ExitReportOfAStateThatIsGoneDoesNothing) {
  Machine m;
  toInstall(m);
  // The stop is queued before the exit report: "inst" is gone when it runs.
  m.together([&m] {
    m.thread->stop();
    m.system->running().end(0);
  });
  m.destroy();
  EXPECT_EQ(m.events(), join({kInstRunning, kInstTornDown, {"destroy"}}));
}

struct TapCase {
  const char* name;
  int stepStatus;
  std::vector<std::string> states;
  Events tail;
};

const TapCase tapCases[] = {
    {"FoundAdapterGoesToAdminWithItsGuid", 0, {"idle", "find", "tap", "admin", "idle"}, kTapToAdmin},
    {"TapinstallFailed", 20017, {"idle", "find", "tap", "idle"}, {kTapStep, "status 20017"}},
    {"MarkFailed", 20018, {"idle", "find", "tap", "idle"}, {kTapStep, "status 20018"}},
    {"NotFoundAfterInstall", 20019, {"idle", "find", "tap", "idle"}, {kTapStep, "status 20019"}},
    {"CharacteristicsFailed", 20020, {"idle", "find", "tap", "idle"}, {kTapStep, "status 20020"}},
};

class OVPNTapStepTable : public testing::TestWithParam<TapCase> {};

// Each outcome is reported once, by the state that failed, never again as a
// teardown.
TEST_P(OVPNTapStepTable, ReportsItsOutcomeOnce) {
  const TapCase& c = GetParam();
  Machine m;
  m.system->tapStatus = c.stepStatus;
  m.startToTap();
  ASSERT_TRUE(m.record->waitFor(c.tail.back()));
  m.destroy();
  EXPECT_EQ(m.events(), join({kToTap, c.tail, {"destroy"}}));
  EXPECT_EQ(m.states(), c.states);
  EXPECT_EQ(m.log.text().find(kAdminLog) != std::string::npos, c.stepStatus == 0) << m.log.text();
}

INSTANTIATE_TEST_SUITE_P(EveryOutcome, OVPNTapStepTable, testing::ValuesIn(tapCases),
                         [](const testing::TestParamInfo<TapCase>& info) { return std::string(info.param.name); });

// A tapinstall waiting at a system prompt: the owner's stop sets the signal
// before it posts, so the step ends (as a failed install) and the stop runs
// after it; the next attempt finds the signal clear again.
TEST(OVPNMachineTest, StopEndsAHangingTapStepAndTheNextAttemptWaitsAgain) {
  Machine m;
  m.system->tapHangs = true;
  m.startToTap();
  ASSERT_TRUE(m.record->waitFor(kTapStep));
  m.thread->stop();
  ASSERT_TRUE(m.record->waitFor("status 20017"));
  settle(*m.thread);
  m.system->tapHangs = false;
  m.system->tapStatus = 20019;
  m.thread->start();
  ASSERT_TRUE(m.record->waitFor("status 20019"));
  m.destroy();
  EXPECT_EQ(m.events(), join({kToTap, {kTapStep, "status 20017"}, kToTap, {kTapStep, "status 20019", "destroy"}}));
  EXPECT_EQ(m.states(), (std::vector<std::string>{"idle", "find", "tap", "idle", "find", "tap", "idle"}));
}

// Destroying the machine while its worker is blocked in the step: the
// destructor does not wait on a step that would never end.
TEST(OVPNMachineTest, DestructionEndsAHangingTapStep) {
  Machine m;
  m.system->tapHangs = true;
  m.startToTap();
  ASSERT_TRUE(m.record->waitFor(kTapStep));
  m.record->add("destroy");
  m.thread.reset();
  EXPECT_EQ(m.events(), join({kToTap, {kTapStep, "destroy", "status 20017"}}));
  EXPECT_EQ(m.states(), (std::vector<std::string>{"idle", "find", "tap", "idle"}));
}

}  // namespace
