// The connect operation driven through the real main controller after a real
// login: the real dispatcher and backend channel (to the stand-in backend,
// which answers from scripts), installer downloads from the loopback scenario
// server, the in-process GUI, and a stand-in tunnel machine that reports on a
// thread of its own as the real one does.
#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bridge/ServerProbes.h"
#include "bridge/TunnelMachine.h"
#include "bridge/win/ConnectOperation.h"
#include "bridge/win/ControllerSeams.h"
#include "bridge/win/FormMainController.h"
#include "bridge/win/LoginStart.h"
#include "core/FatalError.h"
#include "core/Json.h"
#include "core/RandomGenerator.h"
#include "core/Text.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/System.h"
#include "netcfg/NetText.h"
#include "service/ConnThread.h"
#include "tests/support/ConnBackend.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/FatalTrap.h"
#include "tests/support/HttpScenarios.h"
#include "tests/support/MemorySavedConfigStore.h"
#include "tests/support/win/ScriptedGui.h"
#include "tests/support/win/WatchedRun.h"
#include "tunnel/OVPNListener.h"

namespace {

using Microsoft::WRL::ComPtr;
using Calls = std::vector<std::string>;
using namespace std::chrono_literals;

const uint32_t kServerIp = 0x7F000002;  // what the probes resolve "s1.vpn.test" to
const uint32_t kTunnelIp = 0x0A080002;  // 10.8.0.2, as "connected" reports it

size_t countOf(const Calls& calls, const std::string& call) { return std::count(calls.begin(), calls.end(), call); }

// ---- the tunnel machine ----

// Behaves as the client's OVPNThread towards its owner: every call is taken
// on the owner's thread and recorded in the GUI's call list ("machine start",
// "machine connect ..."); reports come from a worker of its own, in the order
// raised. A stop during a running attempt reports 20015 once (20005 once
// established); start while not idle reports 20030; a status the machine
// reports itself leaves it idle. Destruction tears down as stop does and
// joins the worker.
class FakeMachine : public TunnelMachine {
 public:
  FakeMachine(ScriptedGui& gui, std::shared_ptr<OVPNListener> listener)
      : gui_(gui), listener_(std::move(listener)), owner_(std::this_thread::get_id()), worker_([this] { work(); }) {}

  ~FakeMachine() override {
    if (std::this_thread::get_id() == worker_.get_id()) {
      // Joining itself is impossible, and the worker would run on in freed memory.
      std::fprintf(stderr, "the tunnel machine was destroyed on its own worker\n");
      std::abort();
    }
    note("machine destroyed");
    post([this] { tearDown(); });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
  }

  void start() override {
    note("machine start");
    post([this] {
      if (state_ != State::idle) {
        listener_->status(20030);
        return;
      }
      state_ = State::running;
    });
  }
  void stop() override {
    note("machine stop");
    post([this] { tearDown(); });
  }
  void install(std::string installer) override { note("machine install " + installer); }
  void connect(std::string config, std::string host, bool udp, uint16_t port,
               std::vector<RouteEntry> routes) override {
    std::string call = "machine connect \"" + config + "\" " + host + (udp ? " udp " : " tcp ") + std::to_string(port);
    for (const RouteEntry& route : routes)
      call += " " + ipv4ToString(route.destination) + "/" + ipv4ToString(route.mask) + (route.viaVpn ? "/vpn" : "/gateway");
    note(call);
  }
  void sendAuth(std::string user, std::string password) override {
    note("machine sendAuth " + user + " " + password);
  }

  // One report, raised on the worker: "missing", "needConfig",
  // "needCredentials", "installed", "connected IP", "bytecount IN OUT",
  // "status CODE".
  void raise(const std::string& event) {
    std::istringstream in(event);
    std::string name;
    uint64_t first = 0, second = 0;
    in >> name >> first >> second;
    static const char* const known[] = {"missing",   "needConfig", "needCredentials", "installed",
                                        "connected", "bytecount",  "status"};
    if (std::find(std::begin(known), std::end(known), name) == std::end(known)) {
      ADD_FAILURE() << "no such machine report: " << event;
      return;
    }
    post([this, name, first, second] {
      if (name == "missing") listener_->missing();
      if (name == "needConfig") listener_->needConfig();
      if (name == "needCredentials") listener_->needCredentials();
      if (name == "installed") listener_->installed();
      if (name == "bytecount") listener_->bytecount(first, second);
      if (name == "connected") {
        state_ = State::established;
        listener_->connected(static_cast<uint32_t>(first));
      }
      if (name == "status") {
        state_ = State::idle;
        listener_->status(static_cast<int>(first));
      }
    });
  }

 private:
  enum class State { idle, running, established };

  void note(const std::string& call) {
    if (std::this_thread::get_id() != owner_) {
      ADD_FAILURE() << call << " off the owner's thread";
      return;
    }
    gui_.note(call);
  }
  void post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
  }
  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return quit_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }
  void tearDown() {
    State was = state_;
    state_ = State::idle;
    if (was == State::running) listener_->status(20015);
    if (was == State::established) listener_->status(20005);
  }

  ScriptedGui& gui_;
  std::shared_ptr<OVPNListener> listener_;  // for the machine's whole life, as the real one
  std::thread::id owner_;
  State state_ = State::idle;  // worker only
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool quit_ = false;
  std::thread worker_;  // last: started once everything it uses exists
};

// Every server resolves to 127.0.0.2 and answers in 12 ms, each probe
// reporting from a thread of its own.
class ResolvingProbes : public ServerProbes {
 public:
  ~ResolvingProbes() override {
    for (std::thread& thread : threads_) thread.join();
  }
  void ping(const std::string&, std::shared_ptr<ServerProbeSink> sink) override {
    threads_.emplace_back([sink] {
      sink->resolved(kServerIp);
      sink->replied(12);
    });
  }

 private:
  std::vector<std::thread> threads_;
};

// ---- the scenario ----

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

const char* const kConnectOps[] = {"ovpnDownload", "ovpnConfig", "routeTable", "estabStats"};

// A step: once the call list reaches a call starting with trigger (after the
// steps before it; with nth, the nth such call of the attempt), action runs in
// a task of its own, delayMs later. Steps in a row with the same trigger fire
// on the same call.
struct Step {
  std::string trigger;
  std::function<void()> action;
  int delayMs;
  int nth;
};

class ConnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reply("login", R"({"rst":0})");
    reply("accounts", R"({"rst":0,"accounts":["a"]})");
    reply("subAccount",
          R"({"rst":0,"userName":"vpn-user","password":"dnBuLXNlY3JldA==","status":1,"statusText":"",)"
          R"("productName":"Gold","policy":2,"policyText":"p","expireDate":"2027-01-01","balance":3,)"
          R"("timeLength":4,"flowLength":5,"servers":[{"name":"s1","addr":"s1.vpn.test","tcp":443,"udp":1194}]})");
    reply("gameList", R"({"rst":0,"games":[{"id":7,"name":"g1","desc":""}]})");
    reply("logout", R"({"rst":0})");
  }

  void TearDown() override {
    if (dispatcher_) finish();
    EXPECT_EQ(unfreedComObjects(log_.text()), Calls()) << "native objects without their Free";
  }

  // What the backend answers op with ("<close>": it closes the channel
  // instead; held: once a "release" step has run); {plain} and {tls} stand
  // for the scenario server's addresses.
  void reply(const std::string& op, const std::string& text, bool held = false) {
    if (text.find("{tls}") != std::string::npos && !trusted_) trusted_ = std::make_unique<TrustedTestCa>(http_);
    ScriptAnswer answer = text == "<close>" ? ScriptAnswer::close : held ? ScriptAnswer::held : ScriptAnswer::text;
    replies_.push_back(backendScript(op, withPeers(text), 0, answer));
  }
  std::string withPeers(const std::string& text) const {
    return replaceAll(replaceAll(text, "{plain}", http_.url("plain", "")), "{tls}", http_.url("tls", "", true));
  }

  void step(const std::string& trigger, std::function<void()> action, int delayMs = 0, int nth = 0) {
    steps_.push_back({trigger, std::move(action), delayMs, nth});
  }
  // A step's action by name: "cancel", "detach", "release" (the backend's
  // held answers go) or a machine report.
  std::function<void()> act(const std::string& what) {
    if (what == "cancel") return [this] { cancel(); };
    if (what == "detach") return [this] { detach(); };
    if (what == "release") return [this] { backend_.release(); };
    return [this, what] {
      std::shared_ptr<FakeMachine> machine = machine_.lock();
      if (!machine) {
        ADD_FAILURE() << "no machine to raise " << what;
        return;
      }
      machine->raise(what);
    };
  }

  // Starts the client, logs in and connects to s1 for g1 once the servers are in.
  void start(const char* settings = "{}") {
    ControllerSeams seams;
    seams.update.baseUrl = "http://127.0.0.1:" + std::to_string(backend_.deadPort());
    seams.makeProbes = [] { return std::make_unique<ResolvingProbes>(); };
    seams.connect.installerTrusted = installerTrusted_;
    seams.connect.makeTunnel = [this](std::shared_ptr<OVPNListener> listener) {
      auto machine = std::make_shared<FakeMachine>(gui_, std::move(listener));
      machine_ = machine;
      ++machinesMade_;
      return machine;
    };
    int port = backend_.channelPort();
    auto makeChannel = [port](std::shared_ptr<RandomGenerator> random, std::function<void(int)> onState) {
      return std::make_unique<ConnThread>(std::move(random), std::move(onState), "127.0.0.1", port, 50);
    };
    settings_ = savedConfigStoreHolding(settings);
    dispatcher_ = std::make_shared<MainDispatcher>(loginStarter(gui_.newEntry(), seams),
                                                   std::make_shared<RandomGenerator>(), makeChannel,
                                                   std::make_unique<MemorySavedConfigStore>(settings_));
    for (const std::string& action : replies_) backend_.command("script " + action);
    gui_.observer = [this](const std::string& call) { observe(call); };
    dispatcher_->startGui();
  }

  void observe(const std::string& call) {
    gui_.logInWhenReady(call, [this](std::function<void()> action) { later(std::move(action)); });
    if (call == "IMainView::enableIdleControls2 1") idle_ = true;
    if (call == "IMainView::enableIdleControls2 0") idle_ = false;
    if (!connectSent_ && idle_ && countOf(gui_.calls, "IMainView::showServers") &&
        countOf(gui_.calls, "IMainView::showServerLatency 0 12")) {
      connectSent_ = true;
      later([this] { connectNow(); });
    }
    while (!steps_.empty() && startsWith(call, steps_.front().trigger) &&
           (!steps_.front().nth || callsSinceConnect(steps_.front().trigger) == steps_.front().nth)) {
      Step next = std::move(steps_.front());
      steps_.pop_front();
      if (next.delayMs)
        postAfter(dispatcher_, std::chrono::milliseconds(next.delayMs), next.action);
      else
        later(next.action);
    }
  }

  int callsSinceConnect(const std::string& prefix) const {
    auto from = gui_.calls.begin() + static_cast<std::ptrdiff_t>(connectAt_);
    return static_cast<int>(std::count_if(from, gui_.calls.end(),
                                          [&prefix](const std::string& call) { return startsWith(call, prefix); }));
  }

  void connectNow() {
    busyBefore_ = dispatcher_->busyCount();
    writesBefore_ = settings_->writes.size();
    connectAt_ = gui_.calls.size();
    BSTR game = makeBstr(L"g1");
    ASSERT_TRUE(gui_.mainController);
    EXPECT_EQ(gui_.mainController->connect(tcp_ ? FALSE : TRUE, 7, game, 0), S_OK);
    SysFreeString(game);
    EXPECT_EQ(machinesMade_, 1) << "one machine per attempt";
  }

  // Once the attempt's machine is gone (its last reports posted, the
  // operation's end among them), after settleMs for replies still on their
  // way: notes the busy count, waits until the backend has the requests the
  // row expects and leaves. A request still on its way is waited for; one
  // the row expects absent cannot be, but by now the attempt has ended and
  // sends no more.
  void endWhenMachineGone(const Calls& requests, int settleMs = 0) {
    step(
        "machine destroyed",
        [this, requests] {
          busyAtEnd_ = dispatcher_->busyCount();
          handOversAtEnd_ = callsSinceConnect("IMainView::backToLogin");
          awaitRequests(requests);
          leaveNow();
        },
        settleMs);
  }

  void cancel() {
    ComPtr<IOperation> operation;
    ASSERT_TRUE(gui_.operation && SUCCEEDED(gui_.operation.As(&operation))) << "no operation to cancel";
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(operation->cancel(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "cancel waited for the download";
  }

  // The main window closes; another object keeps the program running.
  void detach() {
    gui_.calls.push_back("-- detached");
    dispatcher_->acquire();
    heldBusy_ = true;
    gui_.closeMain();
  }

  // Runs the main loop until the scenario has left (a watchdog ends it after
  // 30 s and fails the test).
  void run() {
    runWatched(dispatcher_, 30s, [this] {
      std::string calls;
      for (const std::string& call : gui_.calls) calls += "\n  " + call;
      ADD_FAILURE() << "scenario did not end; calls so far:" << calls;
      steps_.clear();
      if (gui_.operation) cancel();
      later([this] { leaveNow(); });
    });
  }

  void leaveNow() {
    steps_.clear();
    gui_.releaseShown();
    gui_.closeLogin();
    gui_.closeMain();
    if (heldBusy_) {
      heldBusy_ = false;
      dispatcher_->release();
    }
  }

  void finish() {
    gui_.observer = nullptr;
    leaveNow();
    dispatcher_.reset();
    EXPECT_EQ(gui_.liveObjects(), 0) << "GUI objects the client still holds";
  }

  void later(std::function<void()> action) { dispatcher_->post(std::move(action)); }

  // From the connect on: the progress calls but the fractions, the machine's
  // calls and the main window's connect calls.
  Calls attemptCalls() const {
    Calls kept;
    for (size_t i = connectAt_; i < gui_.calls.size(); ++i) {
      const std::string& call = gui_.calls[i];
      bool progress = startsWith(call, "IOperationProgress::") && !startsWith(call, "IOperationProgress::setProgress");
      bool window = call == "IMainView::connectEnded" || call == "IMainView::connected" ||
                    call == "IMainView::disconnected" || startsWith(call, "IMainView::showError");
      if (progress || window || startsWith(call, "machine ") || call == "-- detached") kept.push_back(call);
    }
    return kept;
  }
  std::vector<float> fractions() const {
    std::vector<float> shown;
    for (size_t i = connectAt_; i < gui_.calls.size(); ++i)
      if (startsWith(gui_.calls[i], "IOperationProgress::setProgress "))
        shown.push_back(std::stof(gui_.calls[i].substr(std::string("IOperationProgress::setProgress ").size())));
    return shown;
  }

  // The whole texts of the attempt's requests the backend received.
  Calls sent() {
    Calls texts;
    rapidjson::Document stats = backend_.stats();
    for (const rapidjson::Value& request : stats["requests"].GetArray()) {
      if (!request.HasMember("text") || !request["text"].IsString()) continue;
      std::string text = request["text"].GetString();
      rapidjson::Document parsed;
      if (!parseJsonText(parsed, text) || !parsed.IsObject()) continue;
      std::string op = getStringOr(parsed, "op", "");
      if (std::find(std::begin(kConnectOps), std::end(kConnectOps), op) != std::end(kConnectOps))
        texts.push_back(text);
    }
    return texts;
  }
  Calls sentOps() {
    Calls ops;
    for (const std::string& text : sent()) {
      rapidjson::Document parsed;
      parseJsonText(parsed, text);
      ops.push_back(getStringOr(parsed, "op", "?"));
    }
    return ops;
  }
  // Until the backend has received the attempt's requests ops (bounded): the
  // channel sends from its own thread, so a request whose reply nobody waits
  // for ("estabStats") may not have arrived when the attempt ends. A record
  // that never matches is left for the row's own comparison to show.
  void awaitRequests(const Calls& ops) {
    for (int i = 0; i < 100 && sentOps() != ops; ++i) std::this_thread::sleep_for(50ms);
  }

  CapturedDebugLog log_;
  ConnBackend backend_;
  HttpScenarios http_;
  std::unique_ptr<TrustedTestCa> trusted_;
  ScriptedGui gui_;
  std::shared_ptr<SavedConfigStoreState> settings_;
  std::shared_ptr<MainDispatcher> dispatcher_;
  std::weak_ptr<FakeMachine> machine_;
  std::function<bool(const std::string& installer)> installerTrusted_;  // empty: the real signature check
  int machinesMade_ = 0;
  std::vector<std::string> replies_;
  std::deque<Step> steps_;
  bool tcp_ = false;
  bool idle_ = false;
  bool connectSent_ = false;
  bool heldBusy_ = false;
  int busyBefore_ = -1;
  int busyAtEnd_ = -2;
  int handOversAtEnd_ = 0;
  size_t writesBefore_ = 0;
  size_t connectAt_ = 0;
};

Calls seq(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Calls started = {"IOperationProgress::setDeterminate 0", "IOperationProgress::showStatus 90004",
                       "machine start"};
const Calls accepted = {"IOperationProgress::ask 90000", "IOperationProgress::showStatus 90001"};
const Calls downloading = {"IOperationProgress::showStatus 90002", "IOperationProgress::setDeterminate 1"};
// Every ending without a tunnel lets the machine end before the controller
// hears of it. The operation's own error ending stops the machine, whose
// 20015 then finds the attempt ended.
Calls finished(int code) {
  return {"IOperationProgress::endError " + std::to_string(code), "machine stop", "machine destroyed",
          "IMainView::connectEnded"};
}
// The machine's own report: it is idle already, so nothing stops it.
Calls failed(int code) {
  return {"IOperationProgress::endError " + std::to_string(code), "machine destroyed", "IMainView::connectEnded"};
}
const Calls cancelled = {"IOperationProgress::endSuccess 0", "machine stop", "machine destroyed",
                         "IMainView::connectEnded"};
const std::string serverRoute = "127.0.0.2/255.255.255.255/gateway";
const std::string toServer = "machine connect \"cfg\" 127.0.0.2 udp 1194 " + serverRoute;
const char* const configOk = R"({"rst":0,"config":"cfg"})";

// ---- every ending but establishment ----

struct Reply {
  const char* op;
  std::string text;
  bool held = false;
};
struct ScriptStep {
  const char* trigger;
  const char* action;
  int delayMs = 0;
};

struct EndingCase {
  const char* name;
  BOOL install;  // the answer to 90000
  std::vector<Reply> replies;
  std::vector<ScriptStep> steps;
  Calls calls;     // from the connect on (attemptCalls)
  Calls requests;  // the attempt's ops, in order
  Calls logged = {};  // text the debug log holds ({plain} as in the replies)
  int settleMs = 0;  // how long a late reply may still come after the end
  bool tcp = false;
};

void PrintTo(const EndingCase& c, std::ostream* out) { *out << c.name; }

class EndingTest : public ConnectTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(EndingTest, reportsOneEndAndReleasesEverything) {
  const EndingCase& c = GetParam();
  tcp_ = c.tcp;
  gui_.askAnswers[90000] = c.install;
  for (const Reply& r : c.replies) reply(r.op, r.text, r.held);
  for (const ScriptStep& s : c.steps) step(s.trigger, act(s.action), s.delayMs);
  endWhenMachineGone(c.requests, c.settleMs);
  start();
  run();
  Calls expected;
  for (const std::string& call : c.calls) expected.push_back(withPeers(call));
  EXPECT_EQ(attemptCalls(), expected);
  EXPECT_EQ(sentOps(), c.requests);
  // A lost channel brings back the login window, which holds the program too.
  EXPECT_EQ(busyAtEnd_, busyBefore_ + handOversAtEnd_) << "the operation's hold on the program ends once";
  std::string log = log_.text();
  for (const std::string& line : c.logged) EXPECT_NE(log.find(withPeers(line)), std::string::npos) << line;
}

const EndingCase endingCases[] = {
    // -- installation --
    {"installationDeclined", FALSE, {}, {{"machine start", "missing"}},
     seq({started, {"IOperationProgress::ask 90000", "machine stop"}, failed(20015)}), {}},
    {"installerAddressServerError", TRUE, {{"ovpnDownload", R"({"rst":1})"}}, {{"machine start", "missing"}},
     seq({started, accepted, finished(20001)}), {"ovpnDownload"}},
    {"installerAddressNoReply", TRUE, {{"ovpnDownload", "<close>"}}, {{"machine start", "missing"}},
     seq({started, accepted, finished(20001)}), {"ovpnDownload"}},
    {"installerAddressMissing", TRUE, {{"ovpnDownload", R"({"rst":0})"}}, {{"machine start", "missing"}},
     seq({started, accepted, finished(20001)}), {"ovpnDownload"}},
    {"installerAddressNotAString", TRUE, {{"ovpnDownload", R"({"rst":0,"download":7})"}},
     {{"machine start", "missing"}}, seq({started, accepted, finished(20001)}), {"ovpnDownload"}},
    {"installerNotFound", TRUE, {{"ovpnDownload", R"({"rst":0,"download":"{plain}/404"})"}},
     {{"machine start", "missing"}}, seq({started, accepted, downloading, finished(20002)}), {"ovpnDownload"}},
    {"installerConnectionClosedMidBody", TRUE, {{"ovpnDownload", R"({"rst":0,"download":"{plain}/truncated"})"}},
     {{"machine start", "missing"}}, seq({started, accepted, downloading, finished(20002)}), {"ovpnDownload"}},
    {"installerAddressDoesNotParse", TRUE, {{"ovpnDownload", R"({"rst":0,"download":"not a url"})"}},
     {{"machine start", "missing"}}, seq({started, accepted, downloading, finished(20002)}), {"ovpnDownload"}},
    // Anyone on the path could have swapped these bytes: only a valid
    // signature would let them run.
    {"plainHttpInstallerWithoutSignature", TRUE, {{"ovpnDownload", R"({"rst":0,"download":"{plain}/drip"})"}},
     {{"machine start", "missing"}}, seq({started, accepted, downloading, finished(20002)}), {"ovpnDownload"},
     {"OpenVPN installer: {plain}/drip\n",
      "OpenVPN installer SHA-256: d682ed4ca4d989c134ec94f1551e1ec580dd6d5a6ecde9f3d35e6e4a717fbde4\n",
      "Installer signature: 0x"}},
    // -- configuration and routes --
    {"configServerError", FALSE, {{"ovpnConfig", R"({"rst":5})"}}, {{"machine start", "needConfig"}},
     seq({started, finished(20004)}), {"ovpnConfig"}},
    {"configMissing", FALSE, {{"ovpnConfig", R"({"rst":0})"}}, {{"machine start", "needConfig"}},
     seq({started, finished(20004)}), {"ovpnConfig"}},
    {"configNotAString", FALSE, {{"ovpnConfig", R"({"rst":0,"config":["cfg"]})"}}, {{"machine start", "needConfig"}},
     seq({started, finished(20004)}), {"ovpnConfig"}},
    {"routeTableServerError", FALSE, {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":2})"}},
     {{"machine start", "needConfig"}}, seq({started, finished(20003)}), {"ovpnConfig", "routeTable"}},
    {"routesMissing", FALSE, {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0})"}},
     {{"machine start", "needConfig"}}, seq({started, finished(20003)}), {"ovpnConfig", "routeTable"}},
    {"routeNotAnObject", FALSE, {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[5]})"}},
     {{"machine start", "needConfig"}}, seq({started, finished(20003)}), {"ovpnConfig", "routeTable"}},
    // A bad element after a good one: no part of the list reaches the machine.
    {"routeViaAsText", FALSE,
     {{"ovpnConfig", configOk},
      {"routeTable",
       R"({"rst":0,"routes":[{"a":"10.1.0.0","m":"255.255.0.0","n":1},{"a":"10.2.0.0","m":"255.255.0.0","n":"1"}]})"}},
     {{"machine start", "needConfig"}}, seq({started, finished(20003)}), {"ovpnConfig", "routeTable"}},
    {"routeViaAsFraction", FALSE,
     {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[{"a":"10.2.0.0","m":"255.255.0.0","n":1.5}]})"}},
     {{"machine start", "needConfig"}}, seq({started, finished(20003)}), {"ovpnConfig", "routeTable"}},
    {"routeAddressNotDotted", FALSE,
     {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[{"a":"10.2.0","m":"255.255.0.0","n":1}]})"}},
     {{"machine start", "needConfig"}}, seq({started, finished(20003)}), {"ovpnConfig", "routeTable"}},
    {"routeWithoutMask", FALSE,
     {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[{"a":"10.2.0.0","n":1}]})"}},
     {{"machine start", "needConfig"}}, seq({started, finished(20003)}), {"ovpnConfig", "routeTable"}},
    // The route table cannot hold it; the route write after establishment would fail.
    {"routeMaskNotContiguous", FALSE,
     {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[{"a":"10.0.0.0","m":"255.0.255.0","n":1}]})"}},
     {{"machine start", "needConfig"}}, seq({started, finished(20003)}), {"ovpnConfig", "routeTable"}},
    // -- the machine's own failures, passed on unchanged --
    {"machineFailsWhileLooking", FALSE, {}, {{"machine start", "status 20019"}}, seq({started, failed(20019)}), {}},
    {"emptyRoutesGiveTheServerRouteAlone", FALSE, {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[]})"}},
     {{"machine start", "needConfig"}, {"machine connect", "status 20025"}},
     seq({started, {toServer}, failed(20025)}), {"ovpnConfig", "routeTable"}},
    {"routesThroughTheGatewayOnlyForZero", FALSE,
     {{"ovpnConfig", configOk},
      {"routeTable", R"({"rst":0,"routes":[{"a":"10.1.0.0","m":"255.255.0.0","n":0},)"
                     R"({"a":"10.2.0.0","m":"255.255.0.0","n":-1},{"a":"10.3.3.3","m":"255.255.255.255","n":7}]})"}},
     {{"machine start", "needConfig"}, {"machine connect", "status 20019"}},
     seq({started,
          {"machine connect \"cfg\" 127.0.0.2 tcp 443 " + serverRoute +
           " 10.1.0.0/255.255.0.0/gateway 10.2.0.0/255.255.0.0/vpn 10.3.3.3/255.255.255.255/vpn"},
          failed(20019)}),
     {"ovpnConfig", "routeTable"}, {}, 0, true},
    // -- cancel at each stage: success, never an error --
    // An answer asked for before the cancel is held until the cancel has
    // ended the attempt, then comes late and changes nothing.
    {"cancelBeforeAnyReport", FALSE, {}, {{"machine start", "cancel"}}, seq({started, cancelled}), {}},
    {"cancelWhileTheInstallerAddressIsAsked", TRUE, {{"ovpnDownload", R"({"rst":0,"download":"{plain}/drip"})", true}},
     {{"machine start", "missing"}, {"IOperationProgress::showStatus 90001", "cancel"},
      {"IOperationProgress::endSuccess", "release"}},
     seq({started, accepted, cancelled}), {"ovpnDownload"}, {}, 1500},
    {"cancelDuringTheDownload", TRUE, {{"ovpnDownload", R"({"rst":0,"download":"{plain}/stall-body"})"}},
     {{"machine start", "missing"}, {"IOperationProgress::setProgress 0.010000", "cancel"}},
     seq({started, accepted, downloading, cancelled}), {"ovpnDownload"}},
    {"cancelWhileTheConfigIsAsked", FALSE, {{"ovpnConfig", configOk, true}},
     {{"machine start", "needConfig"}, {"machine start", "cancel", 300}, {"IOperationProgress::endSuccess", "release"}},
     seq({started, cancelled}), {"ovpnConfig"}, {}, 1500},
    {"cancelWhileTheRoutesAreAsked", FALSE, {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[]})", true}},
     {{"machine start", "needConfig"}, {"machine start", "cancel", 300}, {"IOperationProgress::endSuccess", "release"}},
     seq({started, cancelled}), {"ovpnConfig", "routeTable"}, {}, 1500},
    {"cancelAfterConnect", FALSE, {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[]})"}},
     {{"machine start", "needConfig"}, {"machine connect", "cancel"}}, seq({started, {toServer}, cancelled}),
     {"ovpnConfig", "routeTable"}},
    // The cancel's task runs first; the failure that follows finds the attempt ended.
    {"cancelRacingAFailure", FALSE, {}, {{"machine start", "cancel"}, {"machine start", "status 20019"}},
     seq({started, cancelled}), {}},
};
INSTANTIATE_TEST_SUITE_P(Endings, EndingTest, ::testing::ValuesIn(endingCases),
                         [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.name); });

// ---- an installer over https ----

struct InstallCase {
  const char* name;
  const char* url;
  const char* body;
  bool announcesLength;
  bool plain;  // the signature check is asked, and says yes
};

void PrintTo(const InstallCase& c, std::ostream* out) { *out << c.name; }

class InstallTest : public ConnectTest, public ::testing::WithParamInterface<InstallCase> {};

// The download's bytes go to the machine as they came; an installation that
// leaves OpenVPN missing ends the attempt without a second question.
TEST_P(InstallTest, installerGoesToTheMachine) {
  const InstallCase& c = GetParam();
  gui_.askAnswers[90000] = TRUE;
  Calls checked;
  installerTrusted_ = [&checked](const std::string& installer) {
    checked.push_back(installer);
    return true;
  };
  reply("ovpnDownload", std::string(R"({"rst":0,"download":")") + c.url + "\"}");
  step("machine start", act("missing"));
  step("machine install", act("installed"));
  step("IOperationProgress::setDeterminate 0", act("missing"));
  endWhenMachineGone({"ovpnDownload"});
  start();
  run();
  EXPECT_EQ(attemptCalls(),
            seq({started, accepted, downloading,
                 {"IOperationProgress::showStatus 90003", std::string("machine install ") + c.body,
                  "IOperationProgress::showStatus 90004", "IOperationProgress::setDeterminate 0"},
                 finished(20000)}));
  EXPECT_EQ(sent(), (Calls{std::string("{\"is64\":") + (isWow64() ? "true" : "false") + ",\"op\":\"ovpnDownload\"}"}));
  EXPECT_EQ(busyAtEnd_, busyBefore_);
  EXPECT_EQ(checked, c.plain ? Calls{c.body} : Calls()) << "only bytes fetched without TLS need a signature";

  std::vector<float> shown = fractions();
  ASSERT_GE(shown.size(), 2u) << "no progress of the download";
  EXPECT_EQ(shown.front(), 0.0f) << "the bar starts empty";
  EXPECT_EQ(shown.back(), 1.0f);
  if (c.announcesLength) {
    // Thirds of the announced 12 bytes, some of them between the ends.
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end())) << ::testing::PrintToString(shown);
    for (float fraction : shown) {
      float thirds = fraction * 3;
      EXPECT_NEAR(thirds, static_cast<float>(static_cast<int>(thirds + 0.5f)), 1e-4) << fraction;
    }
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](float f) { return f > 0 && f < 1; }))
        << ::testing::PrintToString(shown);
  } else {
    EXPECT_EQ(std::vector<float>(shown.begin() + 1, shown.end()), std::vector<float>(shown.size() - 1, 1.0f));
  }
}

const InstallCase installCases[] = {
    {"announcedLength", "{tls}/drip", "abcdefghijkl", true, false},
    {"noAnnouncedLength", "{tls}/close-delimited", "until the end", false, false},
    {"plainHttpWithAValidSignature", "{plain}/drip", "abcdefghijkl", true, true},
};
INSTANTIATE_TEST_SUITE_P(Downloads, InstallTest, ::testing::ValuesIn(installCases),
                         [](const ::testing::TestParamInfo<InstallCase>& info) { return std::string(info.param.name); });

// ---- establishment ----

// Over either protocol, from saved settings that named the other one.
struct EstablishCase {
  const char* name;
  bool tcp;
  const char* settings;
  const char* protocolAndPort;
};

void PrintTo(const EstablishCase& c, std::ostream* out) { *out << c.name; }

class EstablishTest : public ConnectTest, public ::testing::WithParamInterface<EstablishCase> {};

TEST_P(EstablishTest, establishedTunnelIsSavedReportedAndHandedToTheController) {
  const EstablishCase& c = GetParam();
  tcp_ = c.tcp;
  reply("ovpnConfig", R"({"rst":0,"config":"client\nproto udp\n"})");
  reply("routeTable", R"({"rst":0,"routes":[{"a":"10.1.0.0","m":"255.255.0.0","n":1}]})");
  step("machine start", act("needConfig"));
  // Raised together: the reports after "connected" run once the controller
  // has taken over, and still reach it.
  for (const char* report : {"needCredentials", "bytecount 3000 600", "needCredentials", "connected 168296450",
                             "needCredentials", "bytecount 9000 1500", "needCredentials"})
    step("machine connect", act(report));
  step("IMainView::connected", [this] {
    size_t before = gui_.calls.size();
    cancel();  // after the end: nothing to do
    EXPECT_EQ(gui_.calls.size(), before);
  });
  step(
      "machine sendAuth",
      [this] {
    UINT64 rates[4] = {};
    EXPECT_EQ(gui_.mainController->getRates(&rates[0], &rates[1], &rates[2], &rates[3]), S_OK);
    // Both counts, before and after establishment, within the 3 s window.
    EXPECT_EQ(rates[0], 9000u);
    EXPECT_EQ(rates[1], 3000u);
    EXPECT_EQ(rates[2], 1500u);
    EXPECT_EQ(rates[3], 500u);
    EXPECT_EQ(gui_.mainController->disconnect(), S_OK);
      },
      0, 4);
  endWhenMachineGone({"ovpnConfig", "routeTable", "estabStats"});
  start(c.settings);
  run();

  const std::string auth = "machine sendAuth vpn-user vpn-secret";
  EXPECT_EQ(attemptCalls(),
            (Calls{"IOperationProgress::setDeterminate 0", "IOperationProgress::showStatus 90004", "machine start",
                   std::string("machine connect \"client\nproto udp\n\" 127.0.0.2 ") + c.protocolAndPort + " " +
                       serverRoute +
                       " 10.1.0.0/255.255.0.0/vpn",
                   auth, auth, "IOperationProgress::endSuccess 0", "IMainView::connected", auth, auth,
                   "machine stop", "machine destroyed", "IMainView::disconnected"}));
  EXPECT_EQ(busyAtEnd_, busyBefore_);
  Calls sentTexts = sent();
  EXPECT_EQ(sentTexts, (Calls{R"({"op":"ovpnConfig"})", R"({"game":7,"op":"routeTable"})",
                              R"({"intIP":168296450,"srvAddr":"s1.vpn.test","ping":12,"op":"estabStats"})"}));

  ASSERT_EQ(settings_->writes.size(), writesBefore_ + 1) << "the settings are written once";
  rapidjson::Document saved;
  ASSERT_TRUE(parseJsonText(saved, settings_->writes.back()));
  Calls names;
  for (const auto& member : saved.GetObject()) names.push_back(member.name.GetString());
  // Replaced, not added (the order of the members is nobody's concern).
  for (const char* name : {"serverPref", "gamePref", "modePref", "accountPref"}) EXPECT_EQ(countOf(names, name), 1u);
  EXPECT_EQ(getStringOr(saved, "serverPref", "?"), "s1");
  EXPECT_EQ(getStringOr(saved, "gamePref", "?"), "g1");
  ASSERT_TRUE(saved["modePref"].IsBool());
  EXPECT_EQ(saved["modePref"].GetBool(), !c.tcp);
  EXPECT_EQ(getStringOr(saved, "accountPref", "?"), "vpn-user");
  EXPECT_TRUE(saved.HasMember("keep"));
}

const EstablishCase establishCases[] = {
    {"udp", false, R"({"serverPref":"old","modePref":false,"keep":1})", "udp 1194"},
    {"tcp", true, R"({"serverPref":"old","modePref":true,"keep":1})", "tcp 443"},
};
INSTANTIATE_TEST_SUITE_P(Established, EstablishTest, ::testing::ValuesIn(establishCases),
                         [](const ::testing::TestParamInfo<EstablishCase>& info) { return std::string(info.param.name); });

// The window closes while the attempt runs: the operation still ends on its
// progress interface, the controller hears nothing, and a tunnel that comes
// up afterwards is stopped at once.
struct DetachCase {
  const char* name;
  const char* report;  // after the detach
  Calls afterDetach;
  Calls requests;
};

void PrintTo(const DetachCase& c, std::ostream* out) { *out << c.name; }

class DetachTest : public ConnectTest, public ::testing::WithParamInterface<DetachCase> {};

TEST_P(DetachTest, windowClosedDuringTheAttempt) {
  const DetachCase& c = GetParam();
  reply("ovpnConfig", configOk);
  reply("routeTable", R"({"rst":0,"routes":[]})");
  step("machine start", act("needConfig"));
  step("machine connect", act("detach"));
  step("machine connect", act(c.report));
  endWhenMachineGone(c.requests);
  start();
  run();
  Calls calls = attemptCalls();
  auto detached = std::find(calls.begin(), calls.end(), "-- detached");
  ASSERT_NE(detached, calls.end());
  EXPECT_EQ(Calls(detached + 1, calls.end()), c.afterDetach);
  auto raw = std::find(gui_.calls.begin(), gui_.calls.end(), "-- detached");
  EXPECT_EQ(std::count_if(raw, gui_.calls.end(), [](const std::string& s) { return startsWith(s, "IMainView::"); }),
            0);
  EXPECT_EQ(sentOps(), c.requests);
  // The controller's hold went with the detach, the test's own came with it.
  EXPECT_EQ(busyAtEnd_, busyBefore_);
}

const DetachCase detachCases[] = {
    {"establishedAfterwards", "connected 168296450",
     {"IOperationProgress::endSuccess 0", "machine stop", "machine destroyed"},
     {"ovpnConfig", "routeTable", "estabStats"}},
    {"failsAfterwards", "status 20019", {"IOperationProgress::endError 20019", "machine destroyed"},
     {"ovpnConfig", "routeTable"}},
};
INSTANTIATE_TEST_SUITE_P(Detach, DetachTest, ::testing::ValuesIn(detachCases),
                         [](const ::testing::TestParamInfo<DetachCase>& info) { return std::string(info.param.name); });

// ---- a failing GUI call ends the process with its call site's number ----

struct FatalCase {
  const char* name;
  const char* failing;
  int call;  // which call of that method fails, from 1
  std::vector<Reply> replies;
  std::vector<ScriptStep> steps;
  int code;
};

void PrintTo(const FatalCase& c, std::ostream* out) { *out << c.name; }

class GuiFailureTest : public ConnectTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(GuiFailureTest, endsTheProcessWithTheCallSitesNumber) {
  const FatalCase& c = GetParam();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Here, not in the child: the test CA an https reply trusts is removed by
  // this process, as the child ends without its destructors.
  for (const Reply& r : c.replies) reply(r.op, r.text, r.held);
  EXPECT_EXIT(
      {
        setFatalErrorHook(&exitReportingFatalCode);
        gui_.askAnswers[90000] = TRUE;
        gui_.failing = c.failing;
        gui_.failingCall = c.call;
        for (const ScriptStep& s : c.steps) step(s.trigger, act(s.action), s.delayMs);
        start();
        run();
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "Error Code: " + std::to_string(c.code) + "\n");
}

const std::vector<Reply> stalledDownload = {{"ovpnDownload", R"({"rst":0,"download":"{plain}/stall-body"})"}};
const std::vector<Reply> tlsDownload = {{"ovpnDownload", R"({"rst":0,"download":"{tls}/drip"})"}};
const std::vector<Reply> connectable = {{"ovpnConfig", configOk}, {"routeTable", R"({"rst":0,"routes":[]})"}};
const std::vector<ScriptStep> missing = {{"machine start", "missing", 0}};
const std::vector<ScriptStep> installs = {{"machine start", "missing", 0}, {"machine install", "installed", 0}};

const FatalCase fatalCases[] = {
    {"startDeterminate", "IOperationProgress::setDeterminate", 1, {}, {}, 54},
    {"startStatus", "IOperationProgress::showStatus", 1, {}, {}, 55},
    {"cancelEnd", "IOperationProgress::endSuccess", 1, {}, {{"machine start", "cancel", 0}}, 60},
    {"question", "IOperationProgress::ask", 1, {}, missing, 62},
    {"machineFailureEnd", "IOperationProgress::endError", 1, {}, {{"machine start", "status 20019", 0}}, 64},
    {"operationFailureEnd", "IOperationProgress::endError", 1, {{"ovpnConfig", R"({"rst":1})"}},
     {{"machine start", "needConfig", 0}}, 66},
    {"acceptedStatus", "IOperationProgress::showStatus", 2, stalledDownload, missing, 67},
    {"downloadingStatus", "IOperationProgress::showStatus", 3, stalledDownload, missing, 68},
    {"downloadDeterminate", "IOperationProgress::setDeterminate", 2, stalledDownload, missing, 69},
    {"downloadStartsEmpty", "IOperationProgress::setProgress", 1, stalledDownload, missing, 70},
    {"downloadProgress", "IOperationProgress::setProgress", 2, stalledDownload, missing, 71},
    {"installingStatus", "IOperationProgress::showStatus", 4, tlsDownload, missing, 72},
    {"installedStatus", "IOperationProgress::showStatus", 5, tlsDownload, installs, 73},
    {"installedDeterminate", "IOperationProgress::setDeterminate", 3, tlsDownload, installs, 74},
    {"establishedEnd", "IOperationProgress::endSuccess", 1, connectable,
     {{"machine start", "needConfig", 0}, {"machine connect", "connected 168296450", 0}}, 75},
};
INSTANTIATE_TEST_SUITE_P(CallSites, GuiFailureTest, ::testing::ValuesIn(fatalCases),
                         [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

}  // namespace

// A machine that cannot be made (no thread for its worker) throws out of the
// construction and leaves no busy count and no half-made object behind.
TEST(ConnectOperationMaking, aMachineThatCannotBeMadeLeavesNothingBehind) {
  auto dispatcher = std::make_shared<MainDispatcher>(
      nullptr, std::make_shared<RandomGenerator>(), nullptr,
      std::make_unique<MemorySavedConfigStore>(savedConfigStoreHolding("{}")));
  ConnectSeams seams;
  int made = 0;
  seams.makeTunnel = [&made](std::shared_ptr<OVPNListener>) -> std::shared_ptr<TunnelMachine> {
    ++made;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  CapturedDebugLog log;
  EXPECT_THROW(makeConnectOperation(dispatcher, nullptr, ConnectChoice(), seams), std::system_error);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(dispatcher->busyCount(), 0);
  // A count that reached 0 would have deleted the object inside its own
  // construction (its last release logs the Free).
  EXPECT_EQ(log.text().find(": Free\n"), std::string::npos) << log.text();
}
