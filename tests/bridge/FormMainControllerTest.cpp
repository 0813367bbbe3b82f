// The main controller driven through the in-process GUI after a real login,
// with the real dispatcher and backend channel (to the stand-in backend,
// which answers from scripts), scripted probes, a stand-in connect and repair
// operation and a stand-in tunnel.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "bridge/win/FormMainController.h"
#include "bridge/ConnectListener.h"
#include "bridge/RepairListener.h"
#include "bridge/TunnelMachine.h"
#include "bridge/win/LoginStart.h"
#include "core/FatalError.h"
#include "core/Json.h"
#include "core/RandomGenerator.h"
#include "core/Text.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/System.h"
#include "service/ConnThread.h"
#include "tests/support/ConnBackend.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/FatalTrap.h"
#include "tests/support/MemorySavedConfigStore.h"
#include "tests/support/win/ScriptedGui.h"
#include "tests/support/win/WatchedRun.h"

namespace {

using Microsoft::WRL::ComPtr;
using Calls = std::vector<std::string>;

bool isUiState(const std::string& call) {
  return startsWith(call, "IMainView::enable") || startsWith(call, "IMainView::setConnected");
}

// The main window's calls without the five UI-state calls.
Calls mainCalls(const Calls& calls) {
  Calls kept;
  for (const std::string& call : calls)
    if (startsWith(call, "IMainView::") && !isUiState(call)) kept.push_back(call);
  return kept;
}

size_t countOf(const Calls& calls, const std::string& call) { return std::count(calls.begin(), calls.end(), call); }



const std::string accountFields =
    R"("userName":"vpn-user","password":"dnBuLXNlY3JldA==","status":1,"statusText":"","productName":"Gold",)"
    R"("policy":2,"policyText":"p","expireDate":"2027-01-01","balance":3,"timeLength":4,"flowLength":5)";
const std::string twoServers =
    R"([{"name":"s1","addr":"127.0.0.2","tcp":443,"udp":1194},{"name":"s2","addr":"127.0.0.3","tcp":65536,"udp":53}])";
std::string subAccountReply(const std::string& servers = twoServers) {
  return "{\"rst\":0," + accountFields + ",\"servers\":" + servers + "}";
}
const std::string gamesReply =
    R"({"rst":0,"games":[{"id":7,"name":"g1","desc":"first"},{"id":8,"name":"g2","desc":""}]})";

// ---- probes ----

struct ProbeAnswer {
  uint32_t address;  // 0: the name does not resolve
  int latencyMs;     // -1: no echo
};

struct HeldProbe {
  std::string host;
  std::shared_ptr<ServerProbeSink> sink;
  std::shared_ptr<bool> batchAlive;
};

struct ProbeScript {
  std::mutex mutex;
  std::map<std::string, ProbeAnswer> answers;
  bool hold = false;
  std::vector<HeldProbe> held;
  int batches = 0;
};

// Reports on a thread of its own per probe, as the probe threads would; held
// probes report when the test says. No report after the batch is gone.
class ScriptedProbes : public ServerProbes {
 public:
  explicit ScriptedProbes(std::shared_ptr<ProbeScript> script) : script_(std::move(script)) {
    std::lock_guard<std::mutex> lock(script_->mutex);
    ++script_->batches;
  }
  ~ScriptedProbes() override {
    {
      std::lock_guard<std::mutex> lock(script_->mutex);
      *alive_ = false;
    }
    for (std::thread& thread : threads_) thread.join();
  }
  void ping(const std::string& host, std::shared_ptr<ServerProbeSink> sink) override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    if (script_->hold) {
      script_->held.push_back({host, sink, alive_});
      return;
    }
    ProbeAnswer answer = script_->answers.count(host) ? script_->answers[host] : ProbeAnswer{0, -1};
    threads_.emplace_back([sink, answer] {
      if (answer.address)
        sink->resolved(answer.address);
      else
        sink->unresolved();
      if (answer.latencyMs >= 0)
        sink->replied(static_cast<uint32_t>(answer.latencyMs));
      else
        sink->failed();
    });
  }

 private:
  std::shared_ptr<ProbeScript> script_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::vector<std::thread> threads_;
};

// ---- operations and tunnel ----

class StandInOperation : public ComObject<StandInOperation, IOperation> {
 public:
  explicit StandInOperation(ScriptedGui& gui) : gui_(gui) {}
  HRESULT STDMETHODCALLTYPE cancel() override { return gui_.note("IOperation::cancel"); }
  void postToOwnerThread(std::function<void()> task) { task(); }

 private:
  friend class ComObject<StandInOperation, IOperation>;
  ~StandInOperation() = default;
  ScriptedGui& gui_;
};

class StandInTunnel : public EstablishedTunnel {
 public:
  StandInTunnel(ScriptedGui& gui, std::string name) : gui_(gui), name_(std::move(name)) {}
  void stop() override { gui_.note("tunnel " + name_ + " stop"); }
  void sendAuth(std::string user, std::string password) override {
    gui_.note("tunnel " + name_ + " sendAuth " + user + " " + password);
  }

 private:
  ScriptedGui& gui_;
  std::string name_;
};

struct ManualClock {
  std::shared_ptr<int64_t> now = std::make_shared<int64_t>(1000000000000);
  RateMeter meter() const {
    auto time = now;
    return RateMeter([time] { return *time; });
  }
  void advanceMs(int64_t ms) { *now += ms * 1000000; }
};

// ---- fixture ----

class MainControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    probes_->answers["127.0.0.2"] = {0x7F000002, 12};
    probes_->answers["127.0.0.3"] = {0x7F000003, 30};
    reply("login", R"({"rst":0})");
    reply("accounts", R"({"rst":0,"accounts":["a","b"]})");
    reply("subAccount", subAccountReply());
    reply("gameList", gamesReply);
    reply("logout", R"({"rst":0})");
  }

  // What the backend answers op with; the last one given before start holds.
  void reply(const std::string& op, const std::string& text, int delayMs = 0,
             ScriptAnswer answer = ScriptAnswer::text) {
    replies_[op] = backendScript(op, text, delayMs, answer);
  }

  void TearDown() override {
    if (dispatcher_) finish();
    std::string log = log_.text();
    EXPECT_EQ(unfreedComObjects(log), Calls()) << "native objects without their Free";
  }

  // Starts the client and logs in as soon as the login window allows it.
  void start(const char* settings = "{}") {
    ControllerSeams seams;
    seams.update.baseUrl = "http://127.0.0.1:" + std::to_string(backend_.deadPort());
    auto probes = probes_;
    if (!realProbes_) seams.makeProbes = [probes] { return std::make_unique<ScriptedProbes>(probes); };
    seams.connect.makeTunnel = [this](std::shared_ptr<OVPNListener>) -> std::shared_ptr<TunnelMachine> {
      ++machinesTried_;
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "no thread for the tunnel's worker");
    };
    if (!realConnect_) seams.makeConnect = [this](std::shared_ptr<ConnectListener> listener, const ConnectChoice& c) {
      connectListener_ = std::move(listener);
      gui_.note("connect " + std::to_string(c.udp) + " " + std::to_string(c.port) + " " + std::to_string(c.gameId) +
                " " + std::to_string(c.serverIp) + " " + std::to_string(c.latencyMs) + " " + c.gameName + " " +
                c.serverName + " " + c.user + " " + c.password + " " + c.serverAddr);
      return operation("connect");
    };
    seams.makeRepair = [this](std::shared_ptr<RepairListener> listener, UINT group) {
      repairListener_ = std::move(listener);
      gui_.note("repair " + std::to_string(group));
      return operation("repair");
    };
    int port = backend_.channelPort();
    auto makeChannel = [port](std::shared_ptr<RandomGenerator> random, std::function<void(int)> onState) {
      return std::make_unique<ConnThread>(std::move(random), std::move(onState), "127.0.0.1", port, 50);
    };
    dispatcher_ = std::make_shared<MainDispatcher>(
        loginStarter(gui_.newEntry(), seams), std::make_shared<RandomGenerator>(), makeChannel,
        std::make_unique<MemorySavedConfigStore>(savedConfigStoreHolding(settings)));
    for (const auto& entry : replies_) backend_.command("script " + entry.second);
    gui_.observer = [this](const std::string& call) { observe(call); };
    dispatcher_->startGui();
  }

  MainOperation operation(const std::string& name) {
    MainOperation made;
    made.operation = static_cast<IOperation*>(new StandInOperation(gui_));
    made.start = [this, name](IOperationProgress* progress) {
      progress_ = progress;
      gui_.note("start " + name);
    };
    return made;
  }

  void observe(const std::string& call) {
    // The GUI holds its main controller once loggedIn has returned.
    if (!main_ && startsWith(call, "IMainView::")) main_ = gui_.mainController;
    gui_.logInWhenReady(call, [this](std::function<void()> action) { later(std::move(action)); });
    if (call == "IMainView::enableIdleControls2 1") idle_ = true;
    if (call == "IMainView::enableIdleControls2 0") idle_ = false;
    // A copy: the hook may replace itself.
    std::function<void(const std::string&)> hook = onCall;
    if (hook) hook(call);
  }


  // Runs the main loop until the GUI has closed its windows (a watchdog
  // closes them after 30 s and fails the test).
  void run() {
    runWatched(dispatcher_, std::chrono::seconds(30), [this] {
      std::string calls;
      for (const std::string& call : gui_.calls) calls += "\n  " + call;
      ADD_FAILURE() << "scenario did not end; calls so far:" << calls;
      leaveNow();
    });
  }

  void leaveNow() {
    {
      std::lock_guard<std::mutex> lock(probes_->mutex);
      probes_->held.clear();
    }
    onCall = nullptr;
    progress_.Reset();
    connectListener_.reset();
    repairListener_.reset();
    gui_.releaseShown();
    gui_.closeLogin();
    gui_.closeMain();
    if (main_) main_->detach();
    main_.Reset();
  }
  void leaveAll() {
    later([this] { leaveNow(); });
  }

  void finish() {
    leaveNow();
    dispatcher_.reset();
    EXPECT_EQ(gui_.liveObjects(), 0) << "GUI objects the client still holds";
  }

  void later(std::function<void()> action) { dispatcher_->post(std::move(action)); }
  void after(int ms, std::function<void()> action) {
    postAfter(dispatcher_, std::chrono::milliseconds(ms), std::move(action));
  }

  // Once the first cycle is in (servers shown, every probe reported).
  void whenLoaded(std::function<void()> action) {
    auto fired = std::make_shared<bool>(false);
    size_t shown = countOf(gui_.calls, "IMainView::showServers");
    onCall = [this, fired, action, shown](const std::string& call) {
      if (*fired || !idle_ || countOf(gui_.calls, "IMainView::showServers") == shown) return;
      if (call != "IMainView::enableIdleControls2 1" && !startsWith(call, "IMainView::showServerLatency")) return;
      *fired = true;
      later(action);
    };
  }

  // The ops of the requests the backend received, in order, with the
  // sub-account asked for.
  Calls requests() {
    Calls ops;
    rapidjson::Document stats = backend_.stats();
    for (const rapidjson::Value& request : stats["requests"].GetArray()) {
      rapidjson::Document sent;
      std::string head = jsonString(request["head"]);
      if (!parseJsonText(sent, head) || !sent.IsObject()) {
        ops.push_back(head);
        continue;
      }
      std::string op = getStringOr(sent, "op", "?");
      if (sent.HasMember("subAccount")) op += " " + getStringOr(sent, "subAccount", "?");
      ops.push_back(op);
    }
    return ops;
  }

  // Every command but detach and getRates; each is to change nothing.
  void expectRefused(const std::string& state, const std::string& skipped = "") {
    BSTR game = makeBstr(L"g1");
    struct Command {
      const char* name;
      std::function<HRESULT()> call;
    } commands[] = {
        {"chooseAccount", [this] { return main_->chooseAccount(0); }},
        {"connect", [this, game] { return main_->connect(TRUE, 7, game, 0); }},
        {"repair", [this] { return main_->repair(0); }},
        {"logout", [this] { return main_->logout(); }},
        {"disconnect", [this] { return main_->disconnect(); }},
    };
    for (const Command& command : commands) {
      if (command.name == skipped) continue;
      size_t before = gui_.calls.size();
      EXPECT_EQ(command.call(), S_OK) << command.name;
      EXPECT_EQ(gui_.calls.size(), before) << state << ": " << command.name << " was accepted: "
                                           << ::testing::PrintToString(Calls(gui_.calls.begin() + before,
                                                                             gui_.calls.end()));
    }
    SysFreeString(game);
  }

  HRESULT connectTo(UINT server, BOOL udp = TRUE, const wchar_t* game = L"g1") {
    BSTR name = game ? makeBstr(game) : nullptr;
    HRESULT result = main_->connect(udp, 7, game ? name : nullptr, server);
    SysFreeString(name);
    return result;
  }

  std::string lastUiState() {
    Calls states;
    for (const std::string& call : gui_.calls)
      if (isUiState(call)) states.push_back(call.substr(call.find("::") + 2));
    std::string joined;
    for (size_t i = states.size() >= 5 ? states.size() - 5 : 0; i < states.size(); ++i) joined += states[i] + ";";
    return joined;
  }

  CapturedDebugLog log_;
  ConnBackend backend_;
  ScriptedGui gui_;
  std::shared_ptr<ProbeScript> probes_ = std::make_shared<ProbeScript>();
  std::shared_ptr<MainDispatcher> dispatcher_;
  ComPtr<IMainController> main_;
  // What the last stand-in operation of each kind was given to report to.
  std::shared_ptr<ConnectListener> connectListener_;
  std::shared_ptr<RepairListener> repairListener_;
  ComPtr<IOperationProgress> progress_;
  std::function<void(const std::string&)> onCall;
  std::map<std::string, std::string> replies_;
  bool idle_ = false;
  bool realProbes_ = false;  // the client's own: a Pinger
  bool realConnect_ = false;  // the client's own operation, whose machine cannot be made
  int machinesTried_ = 0;
};

template <class Interface>
ComPtr<Interface> as(const ComPtr<IUnknown>& object) {
  ComPtr<Interface> typed;
  if (object) object.As(&typed);
  return typed;
}

std::string text(BSTR value) {
  std::string out = value ? toUtf8(fromBstr(value)) : "(null)";
  SysFreeString(value);
  return out;
}

const std::string idleState =
    "enableIdleControls 1;setConnected 0;enableRepair 1;enableConnectChoice 1;enableIdleControls2 1;";

// ---- the whole session ----

TEST_F(MainControllerTest, showsAccountsServersAndGamesThenSwitchesAndLogsOut) {
  start(R"({"accountPref":"b","serverPref":"s2","gamePref":"g2","modePref":false})");
  probes_->answers["127.0.0.3"] = {0, -1};
  whenLoaded([this] {
    EXPECT_EQ(lastUiState(), idleState);
    auto servers = as<IServerList>(gui_.servers);
    ASSERT_TRUE(servers);
    int count = 0;
    BSTR name = nullptr;
    EXPECT_EQ(servers->count(&count), S_OK);
    EXPECT_EQ(count, 2);
    servers->preferredName(&name);
    EXPECT_EQ(text(name), "s2");
    servers->name(1, &name);
    EXPECT_EQ(text(name), "s2");
    auto games = as<IGameList>(gui_.games);
    ASSERT_TRUE(games);
    games->preferredName(&name);
    EXPECT_EQ(text(name), "g2");
    int id = 0;
    EXPECT_EQ(games->id(1, &id), S_OK);
    EXPECT_EQ(id, 8);
    auto info = as<IAccountInfo>(gui_.accountInfo);
    ASSERT_TRUE(info);
    info->userName(&name);
    EXPECT_EQ(text(name), "vpn-user");
    info->statusText(&name);
    EXPECT_EQ(name, nullptr);

    gui_.calls.push_back("-- choose a");
    EXPECT_EQ(main_->chooseAccount(0), S_OK);
    whenLoaded([this] {
      gui_.calls.push_back("-- logout");
      EXPECT_EQ(main_->logout(), S_OK);
      onCall = [this](const std::string& call) {
        if (call == "ILoginView::setLoginBusy 0") leaveAll();
      };
    });
  });
  run();

  Calls shown = mainCalls(gui_.calls);
  Calls latencies;
  for (const std::string& call : shown)
    if (startsWith(call, "IMainView::showServerLatency")) latencies.push_back(call);
  shown.erase(std::remove_if(shown.begin(), shown.end(),
                             [](const std::string& c) { return startsWith(c, "IMainView::showServerLatency"); }),
              shown.end());
  EXPECT_EQ(shown, (Calls{"IMainView::showModePref 0", "IMainView::showAccounts \"a\" \"b\" 1",
                          "IMainView::showGames", "IMainView::showAccountInfo", "IMainView::showServers",
                          "IMainView::showAccountInfo", "IMainView::showServers", "IMainView::backToLogin"}));
  std::sort(latencies.begin(), latencies.end());
  EXPECT_EQ(latencies, (Calls{"IMainView::showServerLatency 0 12", "IMainView::showServerLatency 0 12",
                              "IMainView::showServerLatency 1 -1", "IMainView::showServerLatency 1 -1"}));
  EXPECT_EQ(requests(), (Calls{"login", "accounts", "gameList", "subAccount b", "subAccount a", "logout"}));
  // Back at the login window, which follows the channel again.
  auto handedOver = std::find(gui_.calls.begin(), gui_.calls.end(), "IMainView::backToLogin");
  ASSERT_NE(handedOver, gui_.calls.end());
  EXPECT_NE(std::find(handedOver, gui_.calls.end(), "ILoginView::showConnState 4"), gui_.calls.end());
  EXPECT_EQ(probes_->batches, 2);
}

TEST_F(MainControllerTest, pendingCountReturnsToZeroOnlyAfterEveryProbeStage) {
  probes_->hold = true;
  reply(
      "subAccount",
      subAccountReply(R"([{"name":"x","addr":"h1","tcp":1,"udp":2},{"name":"y","addr":"h2","tcp":1,"udp":2},)"
                      R"({"name":"z","addr":"h3","tcp":1,"udp":2}])"));
  start();
  onCall = [this](const std::string& call) {
    if (call != "IMainView::showServers") return;
    onCall = nullptr;
    later([this] {
      std::vector<HeldProbe> held;
      {
        std::lock_guard<std::mutex> lock(probes_->mutex);
        held = probes_->held;
      }
      ASSERT_EQ(held.size(), 3u);
      EXPECT_EQ(held[2].host, "h3");
      EXPECT_FALSE(idle_);
      // Six stages, each reported from a probe thread; only the last frees the controls.
      auto stage = std::make_shared<int>(0);
      auto next = std::make_shared<std::function<void()>>();
      *next = [this, held, stage, next] {
        EXPECT_FALSE(idle_) << "idle after " << *stage << " of 6 stages";
        const HeldProbe& probe = held[static_cast<size_t>(*stage / 2)];
        bool dns = *stage % 2 == 0;
        std::thread([probe, dns] {
          if (dns)
            probe.sink->resolved(0x7F000001);
          else
            probe.sink->replied(5);
        }).join();
        if (++*stage == 6) {
          *next = nullptr;
          after(100, [this] {
            EXPECT_TRUE(idle_);
            EXPECT_EQ(countOf(gui_.calls, "IMainView::showServerLatency 2 5"), 1u);
            leaveNow();
          });
          return;
        }
        after(30, *next);
      };
      (*next)();
    });
  };
  run();
}

// ---- answers ----

struct AnswerCase {
  const char* name;
  const char* settings;
  std::string accounts;
  std::string subAccount;
  std::string games;
  Calls shown;  // the main window's calls without UI state and latencies
  Calls requests;
};

void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

class AnswerTest : public MainControllerTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, showsWhatTheAnswersHold) {
  const AnswerCase& c = GetParam();
  reply("accounts", c.accounts);
  reply("subAccount", c.subAccount);
  reply("gameList", c.games);
  start(c.settings);
  onCall = [this, c](const std::string&) {
    Calls shown = mainCalls(gui_.calls);
    shown.erase(std::remove_if(shown.begin(), shown.end(),
                               [](const std::string& s) { return startsWith(s, "IMainView::showServerLatency"); }),
                shown.end());
    size_t latencies = countOf(gui_.calls, "IMainView::showServerLatency 0 12");
    bool probesDone = std::find(shown.begin(), shown.end(), "IMainView::showServers") == shown.end() || latencies;
    if (shown.size() >= c.shown.size() && idle_ && probesDone) {
      onCall = nullptr;
      after(150, [this] { leaveNow(); });  // nothing more is to come
    }
  };
  run();
  Calls shown = mainCalls(gui_.calls);
  shown.erase(std::remove_if(shown.begin(), shown.end(),
                             [](const std::string& s) { return startsWith(s, "IMainView::showServerLatency"); }),
              shown.end());
  EXPECT_EQ(shown, c.shown);
  EXPECT_EQ(requests(), c.requests);
  EXPECT_EQ(lastUiState(), idleState) << "the pending count ends at 0";
}

const std::string okAccounts = R"({"rst":0,"accounts":["a","b"]})";
const Calls loaded = {"IMainView::showModePref 1", "IMainView::showAccounts \"a\" \"b\" 0", "IMainView::showGames",
                      "IMainView::showAccountInfo", "IMainView::showServers"};
const Calls loadRequests = {"login", "accounts", "gameList", "subAccount a"};

const AnswerCase answerCases[] = {
    {"duplicateNamesLastPreferredWins", R"({"accountPref":"a"})", R"({"rst":0,"accounts":["a","b","a"]})",
     subAccountReply(), gamesReply,
     {"IMainView::showModePref 1", "IMainView::showAccounts \"a\" \"b\" \"a\" 2", "IMainView::showGames",
      "IMainView::showAccountInfo", "IMainView::showServers"},
     loadRequests},
    {"preferenceMatchingNoNameTakesTheFirst", R"({"accountPref":"z"})", okAccounts, subAccountReply(), gamesReply,
     loaded, loadRequests},
    {"emptyNameIsANullText", "{}", R"({"rst":0,"accounts":["","b"]})", subAccountReply(), gamesReply,
     {"IMainView::showModePref 1", "IMainView::showAccounts null \"b\" 0", "IMainView::showGames",
      "IMainView::showAccountInfo", "IMainView::showServers"},
     {"login", "accounts", "gameList", "subAccount "}},
    {"noAccounts", "{}", R"({"rst":0,"accounts":[]})", subAccountReply(), gamesReply,
     {"IMainView::showModePref 1", "IMainView::showError 20036", "IMainView::showGames"},
     {"login", "accounts", "gameList"}},
    // Names read before a bad element are not kept: no sub-account is asked for.
    {"accountNotAString", "{}", R"({"rst":0,"accounts":["a",1]})", subAccountReply(), gamesReply,
     {"IMainView::showModePref 1", "IMainView::showError 20036", "IMainView::showGames"},
     {"login", "accounts", "gameList"}},
    {"accountsServerError", "{}", R"({"rst":9})", subAccountReply(), gamesReply,
     {"IMainView::showModePref 1", "IMainView::showError 20036", "IMainView::showGames"},
     {"login", "accounts", "gameList"}},
    {"passwordNotBase64", "{}", okAccounts,
     "{\"rst\":0," + std::string(R"("password":"%%%",)") + accountFields.substr(accountFields.find("\"status\"")) +
         ",\"servers\":[]}",
     gamesReply,
     {"IMainView::showModePref 1", "IMainView::showAccounts \"a\" \"b\" 0", "IMainView::showGames",
      "IMainView::showError 20038"},
     loadRequests},
    {"statusIsAString", "{}", okAccounts, R"({"rst":0,"userName":"u","password":"cA==","status":"1"})", gamesReply,
     {"IMainView::showModePref 1", "IMainView::showAccounts \"a\" \"b\" 0", "IMainView::showGames",
      "IMainView::showError 20038"},
     loadRequests},
    // The details were shown before the servers were read.
    {"serverNotAnObject", "{}", okAccounts, subAccountReply(R"([{"name":"s1","addr":"127.0.0.2","tcp":1,"udp":2},7])"),
     gamesReply,
     {"IMainView::showModePref 1", "IMainView::showAccounts \"a\" \"b\" 0", "IMainView::showGames",
      "IMainView::showAccountInfo", "IMainView::showError 20038"},
     loadRequests},
    {"subAccountServerError", "{}", okAccounts, R"({"rst":2})", gamesReply,
     {"IMainView::showModePref 1", "IMainView::showAccounts \"a\" \"b\" 0", "IMainView::showGames",
      "IMainView::showError 20038"},
     loadRequests},
    {"gameNotAnObject", "{}", okAccounts, subAccountReply(), R"({"rst":0,"games":["g"]})",
     {"IMainView::showModePref 1", "IMainView::showAccounts \"a\" \"b\" 0", "IMainView::showError 20037",
      "IMainView::showAccountInfo", "IMainView::showServers"},
     loadRequests},
    {"noGames", "{}", okAccounts, subAccountReply(), R"({"rst":0,"games":[]})", loaded, loadRequests},
    {"unreadableReply", "{\"modePref\":\"no\"}", okAccounts, subAccountReply(), "not json",
     {"IMainView::showModePref 1", "IMainView::showAccounts \"a\" \"b\" 0", "IMainView::showError 20037",
      "IMainView::showAccountInfo", "IMainView::showServers"},
     loadRequests},
};
INSTANTIATE_TEST_SUITE_P(Answers, AnswerTest, ::testing::ValuesIn(answerCases),
                         [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

// A GUI that answers showAccounts by choosing at once must not cause a second
// "subAccount" request.
TEST_F(MainControllerTest, commandsInsideItsOwnGuiCallsAreRefused) {
  gui_.during["IMainView::showAccounts"] = [this] {
    EXPECT_EQ(main_->chooseAccount(1), S_OK);
    EXPECT_EQ(main_->logout(), S_OK);
  };
  start();
  whenLoaded([this] {
    EXPECT_EQ(requests(), loadRequests);
    EXPECT_EQ(countOf(gui_.calls, "IMainView::showAccountInfo"), 1u);
    leaveNow();
  });
  run();
}

// A GUI that lets go of the controller inside one of its calls hears nothing
// after that call: not the rest of the handler, not the answers still to come.
TEST_F(MainControllerTest, detachInsideAGuiCallEndsTheCallsToTheGui) {
  gui_.during["IMainView::showAccounts"] = [this] { EXPECT_EQ(main_->detach(), S_OK); };
  start();
  onCall = [this](const std::string& call) {
    if (startsWith(call, "IMainView::showAccounts")) after(500, [this] { leaveNow(); });
  };
  run();
  auto shown = std::find_if(gui_.calls.begin(), gui_.calls.end(),
                            [](const std::string& c) { return startsWith(c, "IMainView::showAccounts"); });
  ASSERT_NE(shown, gui_.calls.end());
  Calls later;
  for (auto it = shown + 1; it != gui_.calls.end(); ++it)
    if (startsWith(*it, "IMainView::")) later.push_back(*it);
  EXPECT_EQ(later, Calls());
}

// ---- connect, the tunnel and its events ----

TEST_F(MainControllerTest, connectHandsTheChosenServerToTheOperation) {
  start();
  whenLoaded([this] {
    size_t before = gui_.calls.size();
    EXPECT_EQ(connectTo(1, FALSE, L"G\u00e4me"), S_OK);
    Calls made(gui_.calls.begin() + before, gui_.calls.end());
    EXPECT_EQ(mainCalls(made), (Calls{"IMainView::beginOperation"}));
    // The tcp port of 65536 is 0; the password arrives decoded.
    EXPECT_EQ(countOf(made, "connect 0 0 7 2130706435 30 G\xC3\xA4me s2 vpn-user vpn-secret 127.0.0.3"), 1u) << ::testing::PrintToString(made);
    EXPECT_EQ(made.back(), "start connect");
    EXPECT_EQ(lastUiState(),
              "enableIdleControls 0;setConnected 0;enableRepair 0;enableConnectChoice 0;enableIdleControls2 0;");
    expectRefused("connecting");
    connectListener_->onConnectionClosed();
    EXPECT_EQ(mainCalls(Calls(gui_.calls.end() - 6, gui_.calls.end())), (Calls{"IMainView::connectEnded"}));
    EXPECT_EQ(lastUiState(), idleState);
    leaveNow();
  });
  run();
}

TEST_F(MainControllerTest, connectRefusesWhatItCannotUse) {
  probes_->answers["127.0.0.3"] = {0, -1};
  start();
  whenLoaded([this] {
    size_t before = gui_.calls.size();
    EXPECT_EQ(connectTo(2), S_OK);  // index equal to the number of servers
    EXPECT_EQ(connectTo(0, TRUE, nullptr), S_OK);
    EXPECT_EQ(main_->repair(FormMainController::repairGroups), S_OK);
    EXPECT_EQ(main_->chooseAccount(2), S_OK);
    EXPECT_EQ(gui_.calls.size(), before);
    // Not resolved: the error alone, every flag as it was.
    EXPECT_EQ(connectTo(1), S_OK);
    EXPECT_EQ(Calls(gui_.calls.begin() + before, gui_.calls.end()), (Calls{"IMainView::showError 20022"}));
    EXPECT_EQ(lastUiState(), idleState);
    leaveNow();
  });
  run();
}

TEST_F(MainControllerTest, tunnelEventsOfTheCurrentGenerationOnly) {
  start();
  whenLoaded([this] {
    ASSERT_EQ(connectTo(0), S_OK);
    ManualClock clock;
    auto first = connectListener_->onConnected(std::make_shared<StandInTunnel>(gui_, "one"), clock.meter(),
                                              clock.meter());
    EXPECT_EQ(mainCalls(Calls(gui_.calls.end() - 6, gui_.calls.end())), (Calls{"IMainView::connected"}));
    EXPECT_EQ(lastUiState(),
              "enableIdleControls 0;setConnected 1;enableRepair 0;enableConnectChoice 0;enableIdleControls2 0;");
    expectRefused("connected", "disconnect");

    // getRates: totals of the last report, the last three seconds over three.
    UINT64 rates[4] = {9, 9, 9, 9};
    first->bytecount(3000, 600);
    clock.advanceMs(1000);
    first->bytecount(6000, 1200);
    clock.advanceMs(1000);
    first->bytecount(15000, 1500);
    EXPECT_EQ(main_->getRates(&rates[0], &rates[1], &rates[2], &rates[3]), S_OK);
    EXPECT_EQ(rates[0], 15000u);
    EXPECT_EQ(rates[1], 5000u);
    EXPECT_EQ(rates[2], 1500u);
    EXPECT_EQ(rates[3], 500u);
    clock.advanceMs(1500);
    first->bytecount(15300, 1500);  // the first sample is now 3.5 s old
    main_->getRates(&rates[0], &rates[1], &rates[2], &rates[3]);
    EXPECT_EQ(rates[1], 4100u);
    EXPECT_EQ(rates[3], 300u);
    EXPECT_EQ(main_->getRates(nullptr, &rates[1], &rates[2], &rates[3]), E_POINTER);

    first->needCredentials();
    first->missing();
    first->connected(1);
    EXPECT_EQ(gui_.calls.back(), "tunnel one stop");
    EXPECT_EQ(*(gui_.calls.end() - 2), "tunnel one sendAuth vpn-user vpn-secret");

    // A failed tunnel: 20005 whatever the code, once; then a new batch.
    size_t before = gui_.calls.size();
    first->status(20023);
    Calls after(gui_.calls.begin() + before, gui_.calls.end());
    EXPECT_EQ(mainCalls(after), (Calls{"IMainView::showError 20005", "IMainView::disconnected",
                                       "IMainView::showModePref 1"}));
    EXPECT_EQ(main_->getRates(&rates[0], &rates[1], &rates[2], &rates[3]), S_OK);
    EXPECT_EQ(rates[0] + rates[1] + rates[2] + rates[3], 0u);

    // The old tunnel's later events change nothing, once dropped or replaced.
    before = gui_.calls.size();
    first->status(1);
    first->bytecount(1, 1);
    first->needCredentials();
    EXPECT_EQ(gui_.calls.size(), before);
    whenLoaded([this, first] {
      ASSERT_EQ(connectTo(0), S_OK);
      ManualClock second;
      auto current = connectListener_->onConnected(std::make_shared<StandInTunnel>(gui_, "two"), second.meter(),
                                                  second.meter());
      size_t now = gui_.calls.size();
      first->status(1);
      first->bytecount(99, 99);
      first->missing();
      EXPECT_EQ(gui_.calls.size(), now);
      UINT64 zero[4];
      main_->getRates(&zero[0], &zero[1], &zero[2], &zero[3]);
      EXPECT_EQ(zero[0], 0u);
      EXPECT_EQ(main_->disconnect(), S_OK);
      EXPECT_EQ(mainCalls(Calls(gui_.calls.begin() + now, gui_.calls.end())),
                (Calls{"IMainView::disconnected", "IMainView::showModePref 1"}));
      EXPECT_EQ(gui_.calls[now], "tunnel two stop");
      current->status(1);
      leaveAll();
    });
  });
  run();
  // The third cycle's requests may still be on their way when the windows close.
  Calls ops = requests();
  ops.resize(std::min<size_t>(ops.size(), 7));
  EXPECT_EQ(ops, (Calls{"login", "accounts", "gameList", "subAccount a", "accounts", "gameList", "subAccount a"}));
}

TEST_F(MainControllerTest, detachWhileConnectingStopsTheLaterTunnelAtOnce) {
  start();
  whenLoaded([this] {
    ASSERT_EQ(connectTo(0), S_OK);
    std::shared_ptr<ConnectListener> owner = connectListener_;
    dispatcher_->acquire();  // another object keeps the program running
    int busy = dispatcher_->busyCount();
    gui_.closeMain();
    EXPECT_EQ(dispatcher_->busyCount(), busy - 1);
    main_->detach();  // a second detach lowers nothing
    EXPECT_EQ(dispatcher_->busyCount(), busy - 1);
    size_t before = gui_.calls.size();
    auto listener = owner->onConnected(std::make_shared<StandInTunnel>(gui_, "late"), RateMeter(), RateMeter());
    EXPECT_EQ(Calls(gui_.calls.begin() + before, gui_.calls.end()), (Calls{"tunnel late stop"}));
    listener->needCredentials();
    listener->status(1);
    owner->onConnectionClosed();
    EXPECT_EQ(gui_.calls.size(), before + 1);
    expectRefused("detached");
    UINT64 rates[4] = {1, 1, 1, 1};
    EXPECT_EQ(main_->getRates(&rates[0], &rates[1], &rates[2], &rates[3]), S_OK);
    EXPECT_EQ(rates[0] + rates[1] + rates[2] + rates[3], 0u);
    leaveNow();
    dispatcher_->release();
  });
  run();
}

// No thread for the tunnel's worker: the attempt never starts (no progress
// interface is asked for), the controls come back, the GUI hears 20015 and
// the log says why; a second press tries again.
TEST_F(MainControllerTest, connectWhoseMachineCannotBeMadeReportsAndFreesTheControls) {
  realConnect_ = true;
  start();
  whenLoaded([this] {
    for (int press = 1; press <= 2; ++press) {
      size_t before = gui_.calls.size();
      EXPECT_EQ(connectTo(0), S_OK);
      EXPECT_EQ(mainCalls(Calls(gui_.calls.begin() + before, gui_.calls.end())),
                (Calls{"IMainView::showError 20015"}));
      EXPECT_EQ(lastUiState(), idleState);
      EXPECT_EQ(machinesTried_, press);
    }
    leaveNow();
  });
  run();
  EXPECT_NE(log_.text().find("Connect could not start: no thread for the tunnel's worker"), std::string::npos)
      << log_.text();
}

// ---- repair ----

TEST_F(MainControllerTest, repairRunsAloneAndFreesTheControlsWhenDone) {
  start();
  whenLoaded([this] {
    EXPECT_EQ(main_->repair(1), S_OK);
    EXPECT_EQ(gui_.calls.back(), "start repair");
    EXPECT_EQ(countOf(gui_.calls, "repair 1"), 1u);
    expectRefused("repairing");
    repairListener_->onRepairDone();
    EXPECT_EQ(lastUiState(), idleState);
    leaveNow();
  });
  run();
}

// ---- logout and the channel ----

TEST_F(MainControllerTest, failedLogoutShowsItsErrorAndAllowsEverythingAgain) {
  reply("logout", R"({"rst":4})");
  start();
  whenLoaded([this] {
    EXPECT_EQ(main_->logout(), S_OK);
    expectRefused("loggingOut", "chooseAccount");  // the choice is open while the answer is out
    onCall = [this](const std::string& call) {
      if (call != "IMainView::showError 20039") return;
      onCall = nullptr;
      later([this] {
        EXPECT_EQ(lastUiState(), idleState);
        EXPECT_EQ(main_->repair(0), S_OK);
        EXPECT_EQ(gui_.calls.back(), "start repair");
        repairListener_->onRepairDone();
        leaveNow();
      });
    };
  });
  run();
  EXPECT_EQ(countOf(gui_.calls, "IMainView::backToLogin"), 0u);
}

TEST_F(MainControllerTest, logoutWhileAnswersAreOutstandingIsSent) {
  probes_->hold = true;
  start();
  onCall = [this](const std::string& call) {
    if (call != "IMainView::showServers") return;
    onCall = [this](const std::string& call) {
      if (call == "ILoginView::setLoginBusy 0") leaveAll();
    };
    later([this] {
      EXPECT_FALSE(idle_);
      expectRefused("loading", "logout");
      EXPECT_EQ(main_->logout(), S_OK);
      EXPECT_EQ(lastUiState(),
                "enableIdleControls 0;setConnected 0;enableRepair 0;enableConnectChoice 0;enableIdleControls2 0;");
    });
  };
  run();
  EXPECT_EQ(requests(), (Calls{"login", "accounts", "gameList", "subAccount a", "logout"}));
  EXPECT_EQ(countOf(gui_.calls, "IMainView::backToLogin"), 1u);
}

// After the hand-over the controller does nothing but detach and getRates:
// no answer, probe or channel report of its cycle reaches the GUI again.
TEST_F(MainControllerTest, handedOverAfterLogoutRefusesEverything) {
  probes_->hold = true;
  start();
  onCall = [this](const std::string& call) {
    if (call == "IMainView::showServers") later([this] { main_->logout(); });
    if (call != "IMainView::backToLogin") return;
    onCall = nullptr;
    later([this] {
      size_t before = gui_.calls.size();
      expectRefused("handedOver");
      std::vector<HeldProbe> held;
      {
        std::lock_guard<std::mutex> lock(probes_->mutex);
        held = probes_->held;
      }
      ASSERT_FALSE(held.empty());
      EXPECT_FALSE(*held[0].batchAlive) << "the probes were stopped";
      std::thread([sink = held[0].sink] { sink->replied(3); }).join();  // a report already on its way
      dispatcher_->setConnState(2);
      after(100, [this, before] {
        Calls later(gui_.calls.begin() + before, gui_.calls.end());
        EXPECT_EQ(mainCalls(later), Calls()) << ::testing::PrintToString(later);
        EXPECT_EQ(countOf(gui_.calls, "IMainView::backendLost"), 0u);
        leaveNow();
      });
    });
  };
  run();
}

TEST_F(MainControllerTest, channelLostDuringLoginReturnsToLoginOnce) {
  start();
  onCall = [this](const std::string& call) {
    if (call != "ILoginView::loggedIn") return;
    backend_.reset();  // the channel closes right after the login's answer
    onCall = [this](const std::string& call) {
      // Back at the login window, which sees the channel come back; the
      // controller it replaced reports nothing more.
      if (countOf(gui_.calls, "IMainView::backToLogin") && call == "ILoginView::showConnState 4") {
        onCall = nullptr;
        after(200, [this] { leaveNow(); });
      }
    };
  };
  run();
  EXPECT_EQ(countOf(gui_.calls, "IMainView::backendLost"), 1u);
  EXPECT_EQ(countOf(gui_.calls, "IMainView::backToLogin"), 1u);
  EXPECT_EQ(countOf(gui_.calls, "IMainView::showAccounts \"a\" \"b\" 0"), 0u);
}

TEST_F(MainControllerTest, channelLostDuringATunnelWaitsForItsEnd) {
  start();
  whenLoaded([this] {
    ASSERT_EQ(connectTo(0), S_OK);
    auto listener = connectListener_->onConnected(std::make_shared<StandInTunnel>(gui_, "t"), RateMeter(), RateMeter());
    dispatcher_->setConnState(2);
    dispatcher_->setConnState(4);
    EXPECT_EQ(countOf(gui_.calls, "IMainView::backendLost"), 0u);
    EXPECT_EQ(main_->disconnect(), S_OK);
    EXPECT_EQ(countOf(gui_.calls, "IMainView::backendLost"), 1u);
    EXPECT_EQ(gui_.calls.back().substr(0, 10), "ILoginView");
    leaveAll();
  });
  run();
}

TEST_F(MainControllerTest, channelLostDuringLogoutIsANoReplyThatHandsOver) {
  reply("logout", R"({"rst":0})", 0, ScriptAnswer::held);  // an answer would hand over just the same
  start();
  whenLoaded([this] {
    EXPECT_EQ(main_->logout(), S_OK);
    after(300, [this] { backend_.reset(); });  // the channel closes with "logout" unanswered
    onCall = [this](const std::string& call) {
      if (call == "IMainView::backToLogin") {
        onCall = nullptr;
        after(200, [this] { leaveNow(); });
      }
    };
  });
  run();
  EXPECT_EQ(countOf(gui_.calls, "IMainView::backToLogin"), 1u);
  EXPECT_EQ(countOf(gui_.calls, "IMainView::backendLost"), 0u);
}

// ---- the controls enabled are the commands accepted ----

enum class State { idle, loading, connecting, connected, repairing, loggingOut };

struct ControlCase {
  const char* name;
  State state;
  const char* command;
  const char* control;  // the UI-state call that enables the command
};

class ControlsMatchCommandsTest : public MainControllerTest, public ::testing::WithParamInterface<ControlCase> {
 protected:
  void enter(State state) {
    if (state == State::connecting || state == State::connected) {
      ASSERT_EQ(connectTo(0), S_OK);
    }
    if (state == State::connected)
      tunnelListener_ =
          connectListener_->onConnected(std::make_shared<StandInTunnel>(gui_, "t"), RateMeter(), RateMeter());
    if (state == State::repairing) {
      ASSERT_EQ(main_->repair(0), S_OK);
    }
    if (state == State::loggingOut) {
      ASSERT_EQ(main_->logout(), S_OK);
    }
  }
  HRESULT run(const std::string& command) {
    if (command == "chooseAccount") return main_->chooseAccount(1);
    if (command == "connect") return connectTo(0);
    if (command == "repair") return main_->repair(0);
    return main_->disconnect();
  }
  std::shared_ptr<OVPNListener> tunnelListener_;
};

void PrintTo(const ControlCase& c, std::ostream* out) { *out << c.name; }

TEST_P(ControlsMatchCommandsTest, aCommandIsAcceptedExactlyWhenItsControlIsEnabled) {
  const ControlCase& c = GetParam();
  // The logout's answer comes after the test has looked.
  reply("logout", R"({"rst":4})", 3000);
  if (c.state == State::loading) probes_->hold = true;
  auto check = [this, c] {
    enter(c.state);
    const std::string state = lastUiState();
    const std::string control = std::string(c.control) + " ";
    const size_t at = state.find(control);
    ASSERT_NE(at, std::string::npos) << state;
    const bool enabled = state[at + control.size()] == '1';
    const size_t before = gui_.calls.size();
    EXPECT_EQ(ControlsMatchCommandsTest::run(c.command), S_OK);
    const bool accepted = gui_.calls.size() > before;
    EXPECT_EQ(accepted, enabled) << c.command << (accepted ? " accepted" : " refused") << " with " << state
                                 << ::testing::PrintToString(Calls(gui_.calls.begin() + before, gui_.calls.end()));
    tunnelListener_.reset();  // it holds the controller
    leaveNow();
  };
  start();
  if (c.state == State::loading) {
    onCall = [this, check](const std::string& call) {
      if (call != "IMainView::showServers") return;
      onCall = nullptr;
      later(check);
    };
  } else {
    whenLoaded(check);
  }
  MainControllerTest::run();
}

struct NamedState {
  const char* name;
  State state;
};
const NamedState controlStates[] = {{"idle", State::idle},
                                    {"loading", State::loading},
                                    {"connecting", State::connecting},
                                    {"connected", State::connected},
                                    {"repairing", State::repairing},
                                    {"loggingOut", State::loggingOut}};
const std::pair<const char*, const char*> commandControls[] = {{"chooseAccount", "enableConnectChoice"},
                                                               {"connect", "enableIdleControls"},
                                                               {"repair", "enableRepair"},
                                                               {"disconnect", "setConnected"}};

std::vector<ControlCase> controlCases() {
  static std::vector<std::string> names;
  std::vector<ControlCase> cases;
  names.reserve(std::size(controlStates) * std::size(commandControls));
  for (const NamedState& state : controlStates)
    for (const auto& command : commandControls) {
      names.push_back(std::string(state.name) + "_" + command.first);
      cases.push_back({names.back().c_str(), state.state, command.first, command.second});
    }
  return cases;
}
INSTANTIATE_TEST_SUITE_P(States, ControlsMatchCommandsTest, ::testing::ValuesIn(controlCases()),
                         [](const ::testing::TestParamInfo<ControlCase>& info) { return std::string(info.param.name); });

// ---- the client's own probes ----

// Real echoes to loopback addresses (a program of its own: Wine's ICMP wants
// no other test's echoes in flight).
TEST_F(MainControllerTest, RealProbesMeasureLoopbackServers) {
  realProbes_ = true;
  start();
  onCall = [this](const std::string& call) {
    if (!startsWith(call, "IMainView::showServerLatency")) return;
    if (countOf(gui_.calls, "IMainView::showServers") && idle_) {
      onCall = nullptr;
      leaveAll();
    }
  };
  run();
  Calls latencies;
  for (const std::string& call : gui_.calls)
    if (startsWith(call, "IMainView::showServerLatency")) latencies.push_back(call.substr(0, call.rfind(' ')));
  std::sort(latencies.begin(), latencies.end());
  EXPECT_EQ(latencies, (Calls{"IMainView::showServerLatency 0", "IMainView::showServerLatency 1"}));
  EXPECT_EQ(countOf(gui_.calls, "IMainView::showServerLatency 0 -1"), 0u) << "127.0.0.2 answers";
  EXPECT_EQ(countOf(gui_.calls, "IMainView::showServerLatency 1 -1"), 0u) << "127.0.0.3 answers";
}

// ---- a failing GUI call ends the process with its call site's number ----

enum class Then { nothing, logout, connect, connectUnresolved, connected, disconnected, connectClosed, tunnelFailed, repair, channelLost, connectNotStarted };

struct FatalCase {
  const char* name;
  const char* failing;  // the call that fails (":null": succeeds without its interface)
  int call;
  Then then;  // what the GUI does once the first cycle is in
  int code;
  const char* op;  // answered with reply in place of its usual answer
  const char* reply;
};

class GuiFailureTest : public MainControllerTest, public ::testing::WithParamInterface<FatalCase> {};

void PrintTo(const FatalCase& c, std::ostream* out) { *out << c.name; }

TEST_P(GuiFailureTest, endsTheProcessWithTheCallSitesNumber) {
  const FatalCase& c = GetParam();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  if (c.then == Then::connectUnresolved) probes_->answers["127.0.0.2"] = {0, -1};
  EXPECT_EXIT(
      {
        setFatalErrorHook(&exitReportingFatalCode);
        if (c.op) reply(c.op, c.reply);
        gui_.failing = c.failing;
        gui_.failingCall = c.call;
        realConnect_ = c.then == Then::connectNotStarted;
        start();
        whenLoaded([this, c] {
          if (c.then == Then::connectNotStarted) connectTo(0);
          if (c.then == Then::logout) main_->logout();
          if (c.then == Then::repair) main_->repair(0);
          if (c.then == Then::channelLost) backend_.reset();
          if (c.then >= Then::connect && c.then <= Then::tunnelFailed) connectTo(0);
          if (c.then == Then::connectClosed) connectListener_->onConnectionClosed();
          if (c.then < Then::connected || c.then > Then::tunnelFailed) return;
          auto listener = connectListener_->onConnected(std::make_shared<StandInTunnel>(gui_, "t"), RateMeter(),
                                                       RateMeter());
          if (c.then == Then::disconnected) main_->disconnect();
          if (c.then == Then::tunnelFailed) listener->status(1);
        });
        run();
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "Error Code: " + std::to_string(c.code) + "\n");
}

const FatalCase fatalCases[] = {
    {"enableIdleControls", "IMainView::enableIdleControls", 1, Then::nothing, 6, nullptr, nullptr},
    {"setConnected", "IMainView::setConnected", 1, Then::nothing, 11, nullptr, nullptr},
    {"enableRepair", "IMainView::enableRepair", 1, Then::nothing, 12, nullptr, nullptr},
    {"enableConnectChoice", "IMainView::enableConnectChoice", 1, Then::nothing, 13, nullptr, nullptr},
    {"enableIdleControls2", "IMainView::enableIdleControls2", 1, Then::nothing, 14, nullptr, nullptr},
    {"showModePref", "IMainView::showModePref", 1, Then::nothing, 46, nullptr, nullptr},
    {"showAccounts", "IMainView::showAccounts", 1, Then::nothing, 48, nullptr, nullptr},
    {"showGames", "IMainView::showGames", 1, Then::nothing, 50, nullptr, nullptr},
    {"showAccountInfo", "IMainView::showAccountInfo", 1, Then::nothing, 52, nullptr, nullptr},
    {"showServers", "IMainView::showServers", 1, Then::nothing, 51, nullptr, nullptr},
    {"showServerLatency", "IMainView::showServerLatency", 1, Then::nothing, 98, nullptr, nullptr},
    {"accountsError", "IMainView::showError", 1, Then::nothing, 47, "accounts", R"({"rst":1})"},
    {"subAccountError", "IMainView::showError", 1, Then::nothing, 76, "subAccount", R"({"rst":1})"},
    {"gameListError", "IMainView::showError", 1, Then::nothing, 49, "gameList", R"({"rst":1})"},
    {"notResolved", "IMainView::showError", 1, Then::connectUnresolved, 15, nullptr, nullptr},
    {"beginConnect", "IMainView::beginOperation", 1, Then::connect, 53, nullptr, nullptr},
    {"beginConnectWithoutProgress", "IMainView::beginOperation:null", 1, Then::connect, 53, nullptr, nullptr},
    {"connected", "IMainView::connected", 1, Then::connected, 7, nullptr, nullptr},
    {"disconnected", "IMainView::disconnected", 1, Then::disconnected, 8, nullptr, nullptr},
    {"connectEnded", "IMainView::connectEnded", 1, Then::connectClosed, 61, nullptr, nullptr},
    {"tunnelFailedError", "IMainView::showError", 1, Then::tunnelFailed, 80, nullptr, nullptr},
    {"beginRepair", "IMainView::beginOperation", 1, Then::repair, 63, nullptr, nullptr},
    {"backToLoginAfterLogout", "IMainView::backToLogin", 1, Then::logout, 42, nullptr, nullptr},
    {"backToLoginWithoutView", "IMainView::backToLogin:null", 1, Then::logout, 42, nullptr, nullptr},
    {"logoutError", "IMainView::showError", 1, Then::logout, 45, "logout", R"({"rst":6})"},
    {"backendLost", "IMainView::backendLost", 1, Then::channelLost, 37, nullptr, nullptr},
    {"backToLoginAfterLoss", "IMainView::backToLogin", 1, Then::channelLost, 38, nullptr, nullptr},
    {"connectNotStartedError", "IMainView::showError", 1, Then::connectNotStarted, 159, nullptr, nullptr},
};
INSTANTIATE_TEST_SUITE_P(CallSites, GuiFailureTest, ::testing::ValuesIn(fatalCases),
                         [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

}  // namespace
