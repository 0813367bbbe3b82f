// The tunnel machine's table against a fake system: every operation posted in
// every state it can hold, the armed rule, the installer's and the TAP step's
// outcomes, the owner's stop ending a step that blocks. Portable:
// it runs natively under the sanitizers and under Wine.
#include "tests/tunnel/LoopbackClient.h"

#ifndef _WIN32
#include <dirent.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#endif
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
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
  void setExitCallback(std::function<void()> onExit) override {
    onExit_ = std::move(onExit);
    if (endedAtStart) end(0);
  }
  uint32_t exitCode() const override { return exitCode_; }

  // For the management connection.
  uint32_t processId() const override { return 4242; }
  // Connects to the management port as the started OpenVPN does.
  bool connectBack(uint16_t port) { return connection_.connectTo(port); }
  bool isItsConnection(uint16_t peerPort) const { return peerPort != 0 && connection_.localPort() == peerPort; }
  LoopbackClient& connection() { return connection_; }
  // Ended before its exit callback was set: reported once it is.
  bool endedAtStart = false;
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
  LoopbackClient connection_;
};

class FakeConfigFile : public OVPNConfigFile {
 public:
  explicit FakeConfigFile(std::shared_ptr<EventRecord> record) : record_(std::move(record)) {}
  ~FakeConfigFile() override { record_->add("config deleted"); }
  const std::wstring& path() const override { return path_; }

 private:
  std::shared_ptr<EventRecord> record_;
  std::wstring path_ = L"C:\\Cfg dir\\ovpn.conf";
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
    std::string event = "start " + toUtf8(programPath) + " | " + toUtf8(commandLine);
    if (!canStart) {
      record_->add(event);
      return nullptr;
    }
    auto process = std::make_unique<FakeProcess>(record_);
    process->endedAtStart = endsAtStart;
    // Before the event: a test that saw it may use the process at once.
    running_ = process.get();
    record_->add(event);
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
    if (duringTap) duringTap();
    if (tapStatus == 0) adapterGuid = kAdapterGuid;
    return tapStatus;
  }
  // No test here reaches a running tunnel.
  std::unique_ptr<NetworkConfig> createNetworkConfig() override { return nullptr; }

  // The configuration file and the management connection.
  std::unique_ptr<OVPNConfigFile> writeConfigFile(const std::string& text) override {
    record_->add("writeConfig");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      configText_ = text;
    }
    if (!canWriteConfig) return nullptr;
    return std::make_unique<FakeConfigFile>(record_);
  }
  bool isConnectionOf(const OVPNProcess& process, uint16_t localPort, uint16_t peerPort) override {
    auto* fake = dynamic_cast<const FakeProcess*>(&process);
    bool its = fake && fake->isItsConnection(peerPort) && localPort == managementPort();
    record_->add(its ? "connection of OpenVPN" : "connection of another program");
    return its;
  }
  std::string configText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return configText_;
  }
  // From the "management 127.0.0.1 <port>" line of the text last written; 0
  // before any.
  uint16_t managementPort() {
    const std::string tag = "\nmanagement 127.0.0.1 ";
    std::string text = configText();
    size_t at = text.find(tag);
    return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoul(text.substr(at + tag.size())));
  }
  // The started OpenVPN connects back to the port its configuration names.
  bool connectBack() { return running().connectBack(managementPort()); }
  bool canWriteConfig = true;
  bool endsAtStart = false;
  // Runs on the worker inside the tap step, before the step moves on.
  std::function<void()> duringTap;

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
  std::atomic<FakeProcess*> running_{nullptr};
  std::string configText_;  // guarded by mutex_
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
const Events kTapToCfg = {kTapStep, "needConfig"};

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

    // The operation runs before the step, which then hands over to "admin"
    // and on to "cfg".
    {"TapStartRefused", From::tap, Op::start, {"idle", "find", "tap", "admin", "cfg", "idle"},
     join({kToTap, {"status 20030"}, kTapToCfg, {"destroy", "status 20015"}})},
    {"TapStopReportsOnce", From::tap, Op::stop, {"idle", "find", "tap", "idle"},
     join({kToTap, {"status 20015", "destroy"}})},
    {"TapInstallDropped", From::tap, Op::install, {"idle", "find", "tap", "admin", "cfg", "idle"},
     join({kToTap, kTapToCfg, {"destroy", "status 20015"}})},
    {"TapConnectDropped", From::tap, Op::connect, {"idle", "find", "tap", "admin", "cfg", "idle"},
     join({kToTap, kTapToCfg, {"destroy", "status 20015"}})},
    {"TapSendAuthDropped", From::tap, Op::sendAuth, {"idle", "find", "tap", "admin", "cfg", "idle"},
     join({kToTap, kTapToCfg, {"destroy", "status 20015"}})},
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
                               kTapStep, "needConfig", "destroy", "status 20015"}}));
  EXPECT_EQ(m.states(),
            (std::vector<std::string>{"idle", "find", "miss", "inst", "find", "tap", "admin", "cfg", "idle"}));
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
    {"FoundAdapterGoesOnToAdminAndCfg", 0, {"idle", "find", "tap", "admin", "cfg", "idle"},
     {kTapStep, "needConfig", "destroy", "status 20015"}},
    {"TapinstallFailed", 20017, {"idle", "find", "tap", "idle"}, {kTapStep, "status 20017", "destroy"}},
    {"MarkFailed", 20018, {"idle", "find", "tap", "idle"}, {kTapStep, "status 20018", "destroy"}},
    {"NotFoundAfterInstall", 20019, {"idle", "find", "tap", "idle"}, {kTapStep, "status 20019", "destroy"}},
    {"CharacteristicsFailed", 20020, {"idle", "find", "tap", "idle"}, {kTapStep, "status 20020", "destroy"}},
};

class OVPNTapStepTable : public testing::TestWithParam<TapCase> {};

// Each outcome is reported once, by the state that failed, never again as a
// teardown.
TEST_P(OVPNTapStepTable, ReportsItsOutcomeOnce) {
  const TapCase& c = GetParam();
  Machine m;
  m.system->tapStatus = c.stepStatus;
  m.startToTap();
  ASSERT_TRUE(m.record->waitFor(c.tail[1]));
  m.destroy();
  EXPECT_EQ(m.events(), join({kToTap, c.tail}));
  EXPECT_EQ(m.states(), c.states);
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

// The start of OpenVPN: "admin", "cfg" and "proc".

const std::string kServerText = "client\nmanagement-client";
const std::vector<RouteEntry> kRoutes = {RouteEntry{0x0A000001, ~0u, 0}};
const std::string kOvpnStart =
    "start C:\\OpenVPN\\bin\\OpenVPN.exe | C:\\OpenVPN\\bin\\OpenVPN.exe --config \"C:\\Cfg dir\\ovpn.conf\"";
const Events kReachCfg = join({kToTap, {kTapStep, "needConfig"}});
const Events kReachProc = join({kReachCfg, {"writeConfig", kOvpnStart}});

enum class Until { admin, cfg, proc };

void connectServer(Machine& m) { m.thread->connect(kServerText, "10.0.0.1", true, 1194, kRoutes); }

// "admin" is stopped from inside the tap step, before its own step runs.
void driveTo(Machine& m, Until until) {
  if (until == Until::admin) m.system->duringTap = [&m] { m.thread->stop(); };
  m.startToTap();
  if (until == Until::admin) return;
  ASSERT_TRUE(m.record->waitFor("needConfig"));
  if (until == Until::cfg) return;
  connectServer(m);
  ASSERT_TRUE(m.record->waitFor(kOvpnStart)) << testing::PrintToString(m.events());
}

struct StartCase {
  const char* name;
  Until until;
  std::function<void(Machine&)> setup;  // before the start
  std::function<void(Machine&)> action;
  std::string awaited;  // the last event before "destroy"
  Events tail;          // after reaching `until`
  std::vector<std::string> states;
};

const std::vector<std::string> kToIdleFromCfg = {"idle", "find", "tap", "admin", "cfg", "idle"};
const std::vector<std::string> kToIdleFromProc = {"idle", "find", "tap", "admin", "cfg", "proc", "idle"};
const Events kProcEndedOn = {"process released", "config deleted"};

void noSetup(Machine&) {}
void noAction(Machine&) {}

const StartCase startCases[] = {
    {"StopInAdmin", Until::admin, noSetup, noAction, "status 20015", {kTapStep, "status 20015", "destroy"},
     {"idle", "find", "tap", "admin", "idle"}},
    {"StopInCfg", Until::cfg, noSetup, [](Machine& m) { m.thread->stop(); }, "status 20015",
     {"status 20015", "destroy"}, kToIdleFromCfg},
    {"ConfigNotWritten", Until::cfg, [](Machine& m) { m.system->canWriteConfig = false; }, connectServer, "status 20016",
     {"writeConfig", "status 20016", "destroy"}, kToIdleFromCfg},
    // The second connect reaches "proc", which drops it.
    {"ConnectTwice", Until::cfg, noSetup,
     [](Machine& m) {
       connectServer(m);
       connectServer(m);
     },
     kOvpnStart, join({{"writeConfig", kOvpnStart, "destroy"}, kProcEndedOn, {"status 20015"}}), kToIdleFromProc},
    {"OpenVpnNotStarted", Until::proc, [](Machine& m) { m.system->canStart = false; }, noAction, "config deleted",
     {"status 20023", "config deleted", "destroy"}, kToIdleFromProc},
    {"OpenVpnEndsFirst", Until::proc, noSetup,
     [](Machine& m) { m.together([&m] { m.system->running().end(1); }); }, "config deleted",
     join({{"status 20005"}, kProcEndedOn, {"destroy"}}), kToIdleFromProc},
    {"OpenVpnEndedBeforeItsCallback", Until::proc, [](Machine& m) { m.system->endsAtStart = true; }, noAction,
     "config deleted", join({{"status 20005"}, kProcEndedOn, {"destroy"}}), kToIdleFromProc},
    // OpenVPN is ended and waited for before its file goes, then one report.
    {"StopInProc", Until::proc, noSetup, [](Machine& m) { m.thread->stop(); }, "status 20015",
     join({kProcEndedOn, {"status 20015", "destroy"}}), kToIdleFromProc},
    {"DestroyInProc", Until::proc, noSetup, noAction, kOvpnStart,
     join({{"destroy"}, kProcEndedOn, {"status 20015"}}), kToIdleFromProc},
};

void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

Events reachedEvents(Until until) {
  switch (until) {
    case Until::admin: return kToTap;
    case Until::cfg: return kReachCfg;
    case Until::proc: return kReachProc;
  }
  return {};
}

class OVPNStartTable : public testing::TestWithParam<StartCase> {};

// Each way the start can end: one status, the configuration file gone, and
// the management port closed once the machine is idle.
TEST_P(OVPNStartTable, EndsWithOneStatus) {
  const StartCase& c = GetParam();
  Machine m;
  c.setup(m);
  ASSERT_NO_FATAL_FAILURE(driveTo(m, c.until));
  c.action(m);
  ASSERT_TRUE(m.record->waitFor(c.awaited));
  settle(*m.thread);
  uint16_t port = m.system->managementPort();
  // Except where the machine is still in "proc" until destroyed.
  if (port != 0 && c.awaited != kOvpnStart) {
    EXPECT_FALSE(listening(port)) << "port " << port;
  }
  m.destroy();
  EXPECT_EQ(m.events(), join({reachedEvents(c.until), c.tail}));
  EXPECT_EQ(m.states(), c.states);
}

INSTANTIATE_TEST_SUITE_P(EveryEnding, OVPNStartTable, testing::ValuesIn(startCases),
                         [](const testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// The configuration as written: the server's text, then the client's lines
// with the listener's port and the adapter that "tap" handed on.
std::string expectedConfig(uint16_t port) {
  return kServerText + "\nremote 10.0.0.1 1194\nmanagement 127.0.0.1 " + std::to_string(port) +
         "\nproto udp\ndev-node {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n";
}

int count(const Events& events, const std::string& prefix) {
  int n = 0;
  for (const std::string& e : events) n += e.compare(0, prefix.size(), prefix) == 0;
  return n;
}

// OpenVPN connects back: its connection and process go on to "estab", and
// the file and the listener go with "proc".
TEST(OVPNStartTest, OpenVpnsConnectionGoesOnToEstab) {
  Machine m;
  ASSERT_NO_FATAL_FAILURE(driveTo(m, Until::proc));
  uint16_t port = m.system->managementPort();
  EXPECT_EQ(m.system->configText(), expectedConfig(port));
  ASSERT_TRUE(m.system->connectBack());
  ASSERT_TRUE(m.record->waitFor("config deleted"));
  settle(*m.thread);
  EXPECT_EQ(m.events(), join({kReachProc, {"connection of OpenVPN", "config deleted"}}));
  EXPECT_EQ(m.states(), (std::vector<std::string>{"idle", "find", "tap", "admin", "cfg", "proc", "estab"}));
  EXPECT_FALSE(listening(port));
  EXPECT_FALSE(m.system->running().connection().closedByPeer(100)) << "the handed-on connection was closed";
  std::string log = m.log.text();
  EXPECT_NE(log.find("ovpn cmdline: C:\\OpenVPN\\bin\\OpenVPN.exe --config \"C:\\Cfg dir\\ovpn.conf\"\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("OVPN Connected\n"), std::string::npos) << log;
  m.destroy();
  Events events = m.events();
  EXPECT_EQ(count(events, "status "), 1);
  EXPECT_EQ(events.back(), "status 20005");
}

// Another local program reaching the port first is turned away; the wait
// goes on and OpenVPN's own connection is taken after it.
TEST(OVPNStartTest, ForeignConnectionIsClosedAndTheWaitGoesOn) {
  Machine m;
  ASSERT_NO_FATAL_FAILURE(driveTo(m, Until::proc));
  LoopbackClient intruder;
  ASSERT_TRUE(intruder.connectTo(m.system->managementPort()));
  EXPECT_TRUE(intruder.closedByPeer(5000));
  ASSERT_TRUE(m.record->waitFor("connection of another program"));
  ASSERT_TRUE(m.system->connectBack());
  ASSERT_TRUE(m.record->waitFor("config deleted"));
  m.destroy();
  EXPECT_EQ(m.events(), join({kReachProc,
                              {"connection of another program", "connection of OpenVPN", "config deleted", "destroy",
                               "process released", "status 20005"}}));
  EXPECT_EQ(m.states(), (std::vector<std::string>{"idle", "find", "tap", "admin", "cfg", "proc", "estab", "idle"}));
  EXPECT_NE(m.log.text().find("OVPN: a management connection from another program closed\n"), std::string::npos);
}

// Nothing connects: after 5000 ms OpenVPN is ended and the file deleted.
TEST(OVPNStartTest, NoConnectBackWithinFiveSeconds) {
  Machine m;
  ASSERT_NO_FATAL_FAILURE(driveTo(m, Until::proc));
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(m.record->waitFor("config deleted"));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  EXPECT_GE(waited.count(), 4900);
  EXPECT_LT(waited.count(), 15000);
  m.destroy();
  EXPECT_EQ(m.events(), join({kReachProc, {"status 20025"}, kProcEndedOn, {"destroy"}}));
}

#ifndef _WIN32
// Native only: what these two provoke or look at is Linux's own.

// Refuses socket() to the calling thread alone from now on (EMFILE, as when
// the process has no descriptor left); false when the system has no seccomp.
bool refuseSocketsOnThisThread() {
#ifndef __x86_64__
  return false;
#else
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EMFILE & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#endif
}

// The worker can open no socket from the tap step on (the filter goes with
// the worker thread): "admin" can't make its listener.
TEST(OVPNStartTest, ListenerThatCannotBeOpenedFails) {
  Machine m;
  std::atomic<bool> refused{false};
  m.system->duringTap = [&refused] { refused = refuseSocketsOnThisThread(); };
  m.startToTap();
  ASSERT_TRUE(m.record->waitFor(kTapStep));
  settle(*m.thread);
  if (!refused) GTEST_SKIP() << "no seccomp filter for the worker";
  ASSERT_TRUE(m.record->waitFor("status 20029")) << testing::PrintToString(m.events());
  m.destroy();
  EXPECT_EQ(m.events(), join({kToTap, {kTapStep, "status 20029", "destroy"}}));
  EXPECT_EQ(m.states(), (std::vector<std::string>{"idle", "find", "tap", "admin", "idle"}));
}

// The ports this process listens on at 127.0.0.1: its own sockets' inodes
// among the kernel's listening TCP sockets.
std::set<uint16_t> ownListeningPorts() {
  std::set<std::string> inodes;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(fds)) {
      char target[64];
      std::string link = std::string("/proc/self/fd/") + entry->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      std::string text(target, static_cast<size_t>(n));
      if (text.compare(0, 8, "socket:[") == 0) inodes.insert(text.substr(8, text.size() - 9));
    }
    closedir(fds);
  }
  std::set<uint16_t> ports;
  std::ifstream table("/proc/self/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (state == "0A" && local.compare(0, 9, "0100007F:") == 0 && inodes.count(inode))
      ports.insert(static_cast<uint16_t>(std::stoul(local.substr(9), nullptr, 16)));
  }
  return ports;
}

// A connection that comes while the machine waits for connect is closed
// unseen by the owner check; the attempt then goes on as ever.
TEST(OVPNStartTest, ConnectionWhileWaitingForTheConfigurationIsClosed) {
  std::set<uint16_t> before = ownListeningPorts();
  Machine m;
  ASSERT_NO_FATAL_FAILURE(driveTo(m, Until::cfg));
  std::set<uint16_t> now = ownListeningPorts();
  for (uint16_t port : before) now.erase(port);
  ASSERT_EQ(now.size(), 1u);
  uint16_t port = *now.begin();
  LoopbackClient early;
  ASSERT_TRUE(early.connectTo(port));
  EXPECT_TRUE(early.closedByPeer(5000));
  connectServer(m);
  ASSERT_TRUE(m.record->waitFor(kOvpnStart));
  EXPECT_EQ(m.system->managementPort(), port);
  ASSERT_TRUE(m.system->connectBack());
  ASSERT_TRUE(m.record->waitFor("config deleted"));
  m.destroy();
  EXPECT_EQ(m.events(), join({kReachProc,
                              {"connection of OpenVPN", "config deleted", "destroy", "process released",
                               "status 20005"}}));
}
#endif

}  // namespace
