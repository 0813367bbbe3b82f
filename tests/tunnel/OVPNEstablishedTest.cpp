// The running tunnel's management dialogue ("estab") against a scripted peer
// on loopback: every line kind, split at every byte; the hold release and
// credentials byte for byte; the gateway, DHCP notice and completion with
// their failures through a recording network configuration; every way the
// attempt ends; the transcript. Portable: natively under the sanitizers and
// under Wine.
#include <gtest/gtest.h>

#include <uv.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/EventLoop.h"
#include "netcfg/NetText.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/RecordingNetworkConfig.h"
#include "tests/tunnel/TunnelTestSupport.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"

namespace {

using Events = std::vector<std::string>;
namespace fs = std::filesystem;

const std::vector<RouteEntry> kRoutes = {{0x0A000000, 0xFF000000, 0}, {0xC6336400, 0xFFFFFF00, 1}};
// kRoutes as the recorded write names them.
const std::string kWrittenRoutes = "10.0.0.0/255.0.0.0 def 198.51.100.0/255.255.255.0 vpn";

// OpenVPN's end as the exit watcher reports it: never once the process
// object is gone, and never while it goes.
class ProcessExit {
 public:
  void set(std::function<void()> onExit) {
    std::lock_guard<std::mutex> lock(mutex_);
    onExit_ = std::move(onExit);
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    onExit_ = nullptr;
  }
  // Reports from a thread of its own, as the watcher does.
  void fire() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!onExit_) return;
    std::function<void()> onExit = onExit_;
    std::thread([onExit] { onExit(); }).join();
  }

 private:
  std::mutex mutex_;
  std::function<void()> onExit_;
};

class FakeProcess : public OVPNProcess {
 public:
  FakeProcess(std::shared_ptr<EventRecord> record, std::shared_ptr<ProcessExit> exit)
      : record_(std::move(record)), exit_(std::move(exit)) {}
  ~FakeProcess() override {
    exit_->release();
    record_->add("process released");
  }
  void setExitCallback(std::function<void()> onExit) override { exit_->set(std::move(onExit)); }
  uint32_t exitCode() const override { return 0; }
  uint32_t processId() const override { return 0; }

 private:
  std::shared_ptr<EventRecord> record_;
  std::shared_ptr<ProcessExit> exit_;
};



// Only what a running tunnel asks of the system.
class FakeSystem : public OVPNSystem {
 public:
  FakeSystem(std::shared_ptr<EventRecord> record, fs::path transcriptFolder)
      : record_(std::move(record)), transcriptFolder_(std::move(transcriptFolder)) {}
  bool findOpenVpn(std::wstring&) override { return false; }
  bool findTapWindows(std::wstring&) override { return false; }
  std::unique_ptr<OVPNInstallerFile> writeInstaller(const std::string&) override { return nullptr; }
  std::unique_ptr<OVPNProcess> startProgram(const std::wstring&, const std::wstring&) override { return nullptr; }
  std::unique_ptr<OVPNStopSignal> createStopSignal() override { return std::make_unique<NullSignal>(); }
  int prepareTapAdapter(const std::wstring&, OVPNStopSignal&, AdapterGuid&) override { return 20019; }
  std::unique_ptr<OVPNConfigFile> writeConfigFile(const std::string&) override { return nullptr; }
  bool isConnectionOf(const OVPNProcess&, uint16_t, uint16_t) override { return false; }
  std::unique_ptr<NetworkConfig> createNetworkConfig() override {
    record_->add("config made");
    return std::make_unique<RecordingNetworkConfig>(record_, kAdapterGuid, script);
  }
  std::unique_ptr<std::ostream> openTranscript(const std::string& fileName) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      transcriptName_ = fileName;
    }
    return std::make_unique<std::ofstream>(transcriptFolder_ / fileName, std::ios::binary | std::ios::trunc);
  }

  std::string transcriptName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transcriptName_;
  }

  NetworkScript script;  // set while no attempt runs

 private:
  class NullSignal : public OVPNStopSignal {
    void set() override {}
    void reset() override {}
    void* nativeHandle() const override { return nullptr; }
  };
  std::shared_ptr<EventRecord> record_;
  fs::path transcriptFolder_;
  std::mutex mutex_;
  std::string transcriptName_;
};

// OpenVPN's end of the management connection, served by the worker's own
// loop: a listener on 127.0.0.1 port 0, the client handle that connects to it
// (handed to the machine) and the accepted side the test writes to.
class LoopPeer {
 public:
  // Worker thread. onClient gets the connected client handle (malloc'd, as uv2wm takes it).
  void open(uv_loop_t* loop, std::function<void(uv_tcp_t*)> onClient) {
    loop_ = loop;
    onClient_ = std::move(onClient);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.clear();
      accepted_ = sawEnd_ = false;
    }
    uv_tcp_init(loop, &server_);
    server_.data = this;
    serverOpen_ = true;
    sockaddr_in address;
    uv_ip4_addr("127.0.0.1", 0, &address);
    uv_tcp_bind(&server_, reinterpret_cast<const sockaddr*>(&address), 0);
    uv_listen(reinterpret_cast<uv_stream_t*>(&server_), 1, &LoopPeer::onListen);
    int length = sizeof address;
    uv_tcp_getsockname(&server_, reinterpret_cast<sockaddr*>(&address), &length);
    auto* client = static_cast<uv_tcp_t*>(std::malloc(sizeof(uv_tcp_t)));
    uv_tcp_init(loop, client);
    connect_.data = this;
    uv_tcp_connect(&connect_, client, reinterpret_cast<const sockaddr*>(&address), &LoopPeer::onConnected);
  }

  // Any thread but the worker's.
  bool waitAccepted() {
    return waitUntil([this] { return accepted_; });
  }
  void send(OVPNThread& thread, std::string bytes) {
    thread.eventLoop().post([this, bytes = std::move(bytes)] {
      auto* write = new Write{{}, bytes, this};
      uv_buf_t buffer = uv_buf_init(&write->bytes[0], static_cast<unsigned>(write->bytes.size()));
      write->request.data = write;
      uv_write(&write->request, reinterpret_cast<uv_stream_t*>(&side_), &buffer, 1, [](uv_write_t* request, int) {
        auto* done = static_cast<Write*>(request->data);
        {
          std::lock_guard<std::mutex> lock(done->peer->mutex_);
          ++done->peer->writesDone_;
          done->peer->changed_.notify_all();
        }
        delete done;
      });
    });
    // Written (or refused) on the worker; a few turns more and it is read.
    EXPECT_TRUE(waitUntil([this, target = ++writesSent_] { return writesDone_ >= target; }));
    settle(thread, 10);
  }
  void hangUp(OVPNThread& thread) {
    thread.eventLoop().post([this] { closeSide(); });
  }
  // Closes what is still open and waits for it.
  void finish(OVPNThread& thread) {
    thread.eventLoop().post([this] {
      closeSide();
      closeServer();
    });
    settle(thread);
  }
  // Keeps the connection: it closes when the machine's end does.
  void stopListening(OVPNThread& thread) {
    thread.eventLoop().post([this] { closeServer(); });
    settle(thread);
  }
  // The management connection is closed (by the machine, unless we hung up).
  bool waitEnd() {
    return waitUntil([this] { return sawEnd_; });
  }
  std::string received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  struct Write {
    uv_write_t request;
    std::string bytes;
    LoopPeer* peer;
  };

  template <class Condition>
  bool waitUntil(Condition condition) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), condition);
  }
  void closeServer() {
    if (!serverOpen_) return;
    serverOpen_ = false;
    uv_close(reinterpret_cast<uv_handle_t*>(&server_), nullptr);
  }
  void closeSide() {
    if (!sideOpen_) return;
    sideOpen_ = false;
    uv_close(reinterpret_cast<uv_handle_t*>(&side_), nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    sawEnd_ = true;
    changed_.notify_all();
  }

  static void onListen(uv_stream_t* server, int) {
    auto* peer = static_cast<LoopPeer*>(server->data);
    uv_tcp_init(peer->loop_, &peer->side_);
    peer->side_.data = peer;
    peer->sideOpen_ = true;
    uv_accept(server, reinterpret_cast<uv_stream_t*>(&peer->side_));
    uv_read_start(
        reinterpret_cast<uv_stream_t*>(&peer->side_),
        [](uv_handle_t*, size_t, uv_buf_t* buffer) {
          static char storage[65536];  // one worker thread reads
          *buffer = uv_buf_init(storage, sizeof storage);
        },
        &LoopPeer::onRead);
    std::lock_guard<std::mutex> lock(peer->mutex_);
    peer->accepted_ = true;
    peer->changed_.notify_all();
  }
  static void onRead(uv_stream_t* stream, ssize_t count, const uv_buf_t* buffer) {
    auto* peer = static_cast<LoopPeer*>(stream->data);
    if (count < 0) {
      // Closed at once, so a machine destroyed meanwhile finds its loop free.
      peer->closeSide();
      return;
    }
    std::lock_guard<std::mutex> lock(peer->mutex_);
    peer->received_.append(buffer->base, static_cast<size_t>(count));
    peer->changed_.notify_all();
  }
  static void onConnected(uv_connect_t* request, int status) {
    auto* peer = static_cast<LoopPeer*>(request->data);
    uv_tcp_t* client = reinterpret_cast<uv_tcp_t*>(request->handle);
    if (status != 0) {
      ADD_FAILURE() << "loopback connect failed: " << uv_strerror(status);
      uv_close(reinterpret_cast<uv_handle_t*>(client),
               [](uv_handle_t* handle) { std::free(handle); });
      return;
    }
    peer->onClient_(client);
  }

  // Worker thread only.
  uv_loop_t* loop_ = nullptr;
  uv_tcp_t server_;
  uv_tcp_t side_;
  uv_connect_t connect_;
  bool serverOpen_ = false;
  bool sideOpen_ = false;
  std::function<void(uv_tcp_t*)> onClient_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string received_;
  bool accepted_ = false;
  bool sawEnd_ = false;
  int writesDone_ = 0;
  int writesSent_ = 0;  // test thread only
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder of this test alone, also while other test programs run.
fs::path newFolder() {
  std::random_device random;
  for (;;) {
    fs::path folder = fs::temp_directory_path() / ("estab-test-" + std::to_string(random()));
    if (fs::create_directory(folder)) return folder;
  }
}

// One machine, brought into "estab" again for each attempt.
class Tunnel {
 public:
  Tunnel()
      : folder_(newFolder()),
        record_(std::make_shared<EventRecord>()) {
#ifndef _WIN32
    // A write to a connection the other end closed fails; it must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    system_ = std::make_shared<FakeSystem>(record_, folder_);
    thread_ = std::make_unique<OVPNThread>(std::make_shared<RecordingListener>(record_), system_);
    settle(*thread_);
  }
  ~Tunnel() {
    thread_.reset();  // after end() or destroyMachine()
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // A new attempt in "estab"; the events, log and transcript count from here.
  void enter(NetworkScript script = NetworkScript(), std::vector<RouteEntry> routes = kRoutes) {
    system_->script = script;
    exit_ = std::make_shared<ProcessExit>();
    auto process = std::make_shared<std::unique_ptr<OVPNProcess>>(std::make_unique<FakeProcess>(record_, exit_));
    logStart_ = log_.text().size();
    ++attempts_;
    OVPNThread* thread = thread_.get();
    thread_->eventLoop().post([this, thread, process, routes] {
      peer_.open(thread->eventLoop().loop(), [thread, process, routes](uv_tcp_t* client) {
        thread->setStateEstablished(std::move(*process), client, routes, kAdapterGuid);
      });
    });
    ASSERT_TRUE(peer_.waitAccepted());
    ASSERT_TRUE(record_->waitFor("config made", attempts_));
    firstEvent_ = record_->events().size();
    settle(*thread_);
  }
  void send(const std::string& bytes) { peer_.send(*thread_, bytes); }
  void hangUp() { peer_.hangUp(*thread_); }
  void exitProcess() { exit_->fire(); }
  OVPNThread& thread() { return *thread_; }
  FakeSystem& system() { return *system_; }

  // Ends the attempt if it still runs (the owner's stop) and waits for its
  // teardown. The attempt's events, from its entry.
  Events end() {
    settle(*thread_);
    thread_->stop();
    EXPECT_TRUE(record_->waitFor("config destroyed", attempts_, 10000));
    settle(*thread_);
    EXPECT_TRUE(peer_.waitEnd()) << "the management connection stayed open";
    peer_.finish(*thread_);
    Events all = record_->events();
    return Events(all.begin() + static_cast<long>(firstEvent_), all.end());
  }
  // The machine destroyed while the attempt runs (the client's exit). The
  // attempt's events, from its entry.
  Events destroyMachine() {
    peer_.stopListening(*thread_);
    thread_.reset();
    EXPECT_TRUE(peer_.waitEnd()) << "the management connection stayed open";
    Events all = record_->events();
    return Events(all.begin() + static_cast<long>(firstEvent_), all.end());
  }
  std::string received() { return peer_.received(); }
  std::string log() { return log_.text().substr(logStart_); }
  std::string transcript() { return readFile(folder_ / system_->transcriptName()); }

 private:
  CapturedDebugLog log_;
  fs::path folder_;
  std::shared_ptr<EventRecord> record_;
  std::shared_ptr<FakeSystem> system_;
  std::unique_ptr<OVPNThread> thread_;
  LoopPeer peer_;
  std::shared_ptr<ProcessExit> exit_;
  int attempts_ = 0;
  size_t firstEvent_ = 0;
  size_t logStart_ = 0;
};

// The lines of a real dialogue.
const std::string kPush =
    ">LOG:1700000000,,PUSH: Received control message: 'PUSH_REPLY,route-gateway 10.8.0.1,ping 10,"
    "ifconfig 10.8.0.6 255.255.255.252'\r\n";
const std::string kInit = ">LOG:1700000002,I,Initialization Sequence Completed\r\n";

std::string logLine(const std::string& message) { return ">LOG:1700000001,," + message + "\r\n"; }
std::string pushLine(const std::string& options) {
  return logLine("PUSH: Received control message: 'PUSH_REPLY," + options + "'");
}
std::string dhcpLine(const std::string& address, const std::string& guid = kAdapterGuidText) {
  return logLine("Notified TAP-Windows driver to set a DHCP IP/netmask of " + address + " on interface " + guid +
                 " [DHCP-serv: 10.8.0.5, lease-time: 31536000]");
}
const std::string kDhcp = dhcpLine("10.8.0.6/255.255.255.252");

const std::string kRecord = "10.8.0.6/255.255.255.252 def 192.168.1.1";
const std::string kConnected = "connected " + std::to_string(0x0A080006u);
const Events kComplete = {"flush " + kRecord, "metric", "dns 10.8.0.1 " + kRecord, "write " + kWrittenRoutes + " via 10.8.0.1 " + kRecord,
                          kConnected};
const Events kTeardown = {"process released", "config destroyed", "status 20005"};
const Events kTeardownWithRecord = {"flush " + kRecord, "process released", "config destroyed", "status 20005"};

Events join(std::initializer_list<Events> parts) {
  Events all;
  for (const Events& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
Events failed(int code) { return {"status " + std::to_string(code), "process released", "config destroyed"}; }

// One of each line kind, mixing the three line ends; the last byte count marks
// the end.
const std::string kDialogue =
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n" + kHold +
    "SUCCESS: real-time echo notification set to ON\r\n"
    ">BYTECOUNT:1024,2048\n"
    ">BYTECOUNT:12,34 \r" +
    kNeedAuth + ">PASSWORD:Verification Failed: 'Auth'\n" + kPush + kDhcp + kInit +
    ">no colon in this notification\r\n"
    "END\n"
    ">LOG:1700000003,W,some other message\r"
    ">BYTECOUNT:7,7\r\n";
const Events kDialogueEvents = join({{"bytecount 1024 2048", "needCredentials", "defaultGateway"}, kComplete,
                                     {"bytecount 7 7"}});
const std::string kDialogueTranscript =
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\n"
    ">HOLD:Waiting for hold release:0\n"
    "SUCCESS: real-time echo notification set to ON\n"
    ">PASSWORD:Need 'Auth' username/password\n"
    ">PASSWORD:Verification Failed: 'Auth'\n"
    ">LOG:1700000000,,PUSH: Received control message: 'PUSH_REPLY,route-gateway 10.8.0.1,ping 10,ifconfig 10.8.0.6 "
    "255.255.255.252'\n"
    ">LOG:1700000001,,Notified TAP-Windows driver to set a DHCP IP/netmask of 10.8.0.6/255.255.255.252 on interface "
    "{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60} [DHCP-serv: 10.8.0.5, lease-time: 31536000]\n"
    ">LOG:1700000002,I,Initialization Sequence Completed\n"
    ">no colon in this notification\n"
    "END\n"
    ">LOG:1700000003,W,some other message\n";

struct Outcome {
  Events events;
  std::string received;
  std::string transcript;
};

Outcome runPieces(Tunnel& tunnel, const std::vector<std::string>& pieces) {
  tunnel.enter();
  if (::testing::Test::HasFatalFailure()) return Outcome();
  for (const std::string& piece : pieces) tunnel.send(piece);
  Outcome run;
  run.events = tunnel.end();
  run.received = tunnel.received();
  run.transcript = tunnel.transcript();
  return run;
}

TEST(OVPNEstablished, EveryLineKindOfOneDialogue) {
  Tunnel tunnel;
  Outcome run = runPieces(tunnel, {kDialogue});
  EXPECT_EQ(run.events, join({kDialogueEvents, kTeardownWithRecord}));
  EXPECT_EQ(run.received, kHoldRelease);
  EXPECT_EQ(run.transcript, kDialogueTranscript);
  std::string log = tunnel.log();
  for (const char* line :
       {"OVPN State: estab\n", "hold release\n", "OVPN <- echo on\r\nlog on\r\nbytecount 1\r\nhold release\r\n\n",
        "BYTECOUNT failed: 12,34 \n", "vpnGateway: 10.8.0.1\n", "IP=10.8.0.6\n", "MASK=255.255.255.252\n",
        "DEF=192.168.1.1\n", "IF={5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}\n", "ifValid\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST(OVPNEstablished, TheDialogueSplitAtEveryByteActsTheSame) {
  Tunnel tunnel;
  Outcome whole = runPieces(tunnel, {kDialogue});
  ASSERT_EQ(whole.events, join({kDialogueEvents, kTeardownWithRecord}));
  for (size_t split = 1; split < kDialogue.size(); ++split) {
    Outcome run = runPieces(tunnel, {kDialogue.substr(0, split), kDialogue.substr(split)});
    EXPECT_EQ(run.events, whole.events) << "split at " << split;
    EXPECT_EQ(run.received, whole.received) << "split at " << split;
    EXPECT_EQ(run.transcript, whole.transcript) << "split at " << split;
    if (HasFailure()) break;
  }
}

// A step of an attempt, in the order given.
struct Step {
  enum Kind { send, auth, hangUp, exitProcess, exitAndHangUp, hangUpAndExit } kind;
  std::string text;
  std::string password;
};
Step sendStep(std::string bytes) { return {Step::send, std::move(bytes), ""}; }
Step authStep(std::string user, std::string password) { return {Step::auth, std::move(user), std::move(password)}; }
const Step kHangUp = {Step::hangUp, "", ""};
const Step kExit = {Step::exitProcess, "", ""};
// Both at once, neither handled before the other is under way.
const Step kExitAndHangUp = {Step::exitAndHangUp, "", ""};
const Step kHangUpAndExit = {Step::hangUpAndExit, "", ""};

struct AttemptCase {
  const char* name;
  NetworkScript script;
  std::vector<Step> steps;
  Events events;         // from entry through the teardown; the owner stops what still runs
  std::string received;  // what OpenVPN was sent
  std::vector<std::string> logLines;
};

const std::string kUp = kPush + kDhcp + kInit;
const Events kUpEvents = join({{"defaultGateway"}, kComplete});

const AttemptCase attemptCases[] = {
    {"StoppedByTheOwner", {}, {}, kTeardown, "", {}},
    {"HoldReleasedWithExactBytes", {}, {sendStep(kHold)}, kTeardown, kHoldRelease, {"hold release\n"}},
    {"LowerCaseWaitReleasesToo", {}, {sendStep(">HOLD:waiting\r\n")}, kTeardown, kHoldRelease, {}},
    {"OtherHoldValueIgnored", {}, {sendStep(">HOLD:released\r\n")}, kTeardown, "", {}},
    // The routes of the old tunnel go before its record; the next completion
    // then needs a new notice.
    {"NewHoldFlushesTheRecordThenForgetsIt", {}, {sendStep(kUp), sendStep(kHold), sendStep(kInit)},
     join({kUpEvents, {"flush " + kRecord}, failed(20014)}), kHoldRelease, {}},
    {"NewHoldForgetsTheGateway", {}, {sendStep(kPush + kHold + kDhcp)}, failed(20007), kHoldRelease, {}},

    {"CredentialsSentQuoted", {}, {sendStep(kNeedAuth), authStep("us\"er", "pa\\ss\"word")},
     join({{"needCredentials"}, kTeardown}),
     "username \"Auth\" \"us\\\"er\"\r\npassword \"Auth\" \"pa\\\\ss\\\"word\"\r\n",
     {"OVPN <- username \"Auth\" \"us\\\"er\"\r\npassword \"Auth\" \"***\"\r\n\n"}},
    {"LowerCaseNeedAsksToo", {}, {sendStep(">PASSWORD:need 'Auth' username/password\r\n")},
     join({{"needCredentials"}, kTeardown}), "", {}},
    {"UserWithCarriageReturn", {}, {authStep("us\rer", "password")}, failed(20006), "", {}},
    {"PasswordWithLineFeed", {}, {authStep("user", "pass\nhold release")}, failed(20006), "", {}},
    {"PasswordWithVerticalTab", {}, {authStep("user", "pass\vword")}, failed(20006), "", {}},

    {"ByteCountsReported", {}, {sendStep(">BYTECOUNT:0,0\r\n>BYTECOUNT:18446744073709551615,5\r\n")},
     join({{"bytecount 0 0", "bytecount 18446744073709551615 5"}, kTeardown}), "", {}},
    {"ByteCountsNotStrictAreLogged", {},
     {sendStep(">BYTECOUNT:5\r\n>BYTECOUNT:1,2x\r\n>BYTECOUNT:-1,2\r\n>BYTECOUNT: 1,2\r\n"
               ">BYTECOUNT:18446744073709551616,0\r\n>BYTECOUNT:\r\n")},
     kTeardown, "",
     {"BYTECOUNT failed: 5\n", "BYTECOUNT failed: 1,2x\n", "BYTECOUNT failed: -1,2\n", "BYTECOUNT failed:  1,2\n",
      "BYTECOUNT failed: 18446744073709551616,0\n", "BYTECOUNT failed: \n"}},
    {"ByteCountThenHoldInOneRead", {}, {sendStep(">BYTECOUNT:3,4\r\n" + kHold)},
     join({{"bytecount 3 4"}, kTeardown}), kHoldRelease, {}},

    // The last pushed option ends at the control message's closing quote.
    {"GatewayAsTheLastOption", {}, {sendStep(pushLine("ping 10,route-gateway 10.8.0.9") + kDhcp + kInit)},
     join({{"defaultGateway", "flush " + kRecord, "metric", "dns 10.8.0.9 " + kRecord,
            "write " + kWrittenRoutes + " via 10.8.0.9 " + kRecord, kConnected},
           kTeardownWithRecord}),
     "", {"vpnGateway: 10.8.0.9\n"}},
    {"UnparsableGatewayKeepsThePrevious", {}, {sendStep(kPush + pushLine("route-gateway 10.8.0.300") + kDhcp + kInit)},
     join({kUpEvents, kTeardownWithRecord}), "", {"vpnGateway: 10.8.0.300\n"}},
    {"UnparsableGatewayIsNoGateway", {}, {sendStep(pushLine("route-gateway gw") + kDhcp)}, failed(20007), "",
     {"vpnGateway: gw\n"}},
    {"PushWithoutGatewayChangesNothing", {}, {sendStep(pushLine("ping 10") + kDhcp)}, failed(20007), "", {}},

    {"DhcpBeforeAnyGateway", {}, {sendStep(kDhcp)}, failed(20007), "", {}},
    {"DhcpWithoutDefaultRoute", {true, 0, false}, {sendStep(kPush + kDhcp)},
     join({{"defaultGateway"}, failed(20008)}), "", {}},
    {"DhcpGuidUnparsable", {}, {sendStep(kPush + dhcpLine("10.8.0.6/255.255.255.252", "{5A8D2F31-0B7C-4E96-A1D4}"))},
     join({{"defaultGateway"}, failed(20009)}), "", {}},
    {"DhcpGuidWithANonHexDigit", {},
     {sendStep(kPush + dhcpLine("10.8.0.6/255.255.255.252", "{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A6G}"))},
     join({{"defaultGateway"}, failed(20009)}), "", {}},
    {"DhcpOfAnotherAdapter", {},
     {sendStep(kPush + dhcpLine("10.8.0.6/255.255.255.252", "{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A61}"))},
     join({{"defaultGateway"}, failed(20010)}), "", {}},
    {"DhcpGuidInLowerCaseAccepted", {},
     {sendStep(kPush + dhcpLine("10.8.0.6/255.255.255.252", "{5a8d2f31-0b7c-4e96-a1d4-3c2b9e8f7a60}") + kInit)},
     join({kUpEvents, kTeardownWithRecord}), "", {}},
    // The lines after an unusable address are still read, at once.
    {"DhcpAddressUnparsableIsIgnored", {}, {sendStep(kPush + dhcpLine("10.8.0.600/255.255.255.252") + kInit)},
     join({{"defaultGateway"}, failed(20014)}), "", {"IP=10.8.0.600\n", "MASK=255.255.255.252\n", "ifInvalid\n"}},
    {"DhcpMaskUnparsableKeepsThePreviousRecord", {},
     {sendStep(kPush + kDhcp), sendStep(dhcpLine("10.8.0.10/255.255.255") + kInit)},
     join({{"defaultGateway", "defaultGateway"}, kComplete, kTeardownWithRecord}), "", {"ifInvalid\n"}},
    {"DhcpWithoutSlashIgnored", {}, {sendStep(kPush + dhcpLine("10.8.0.6 255.255.255.252") + kInit)}, failed(20014),
     "", {}},
    {"DhcpWithoutBracesIgnored", {}, {sendStep(kPush + dhcpLine("10.8.0.6/255.255.255.252", "eth0") + kInit)},
     failed(20014), "", {}},

    {"CompletedWithoutRecord", {}, {sendStep(kInit)}, failed(20014), "", {}},
    {"CompletedWithErrorsCounts", {},
     {sendStep(kPush + kDhcp + logLine("Initialization Sequence Completed With Errors"))},
     join({kUpEvents, kTeardownWithRecord}), "", {}},
    {"FlushFailure", {false, 1, false}, {sendStep(kUp)},
     {"defaultGateway", "flush " + kRecord, "status 20011", "flush " + kRecord, "process released", "config destroyed"},
     "", {}},
    {"WriteFailureFlushesAgain", {false, 0, true}, {sendStep(kUp)},
     {"defaultGateway", "flush " + kRecord, "metric", "dns 10.8.0.1 " + kRecord, "write " + kWrittenRoutes + " via 10.8.0.1 " + kRecord,
      "flush " + kRecord, "status 20013", "flush " + kRecord, "process released", "config destroyed"},
     "", {}},
    {"SecondCompletionRepeatsTheWork", {}, {sendStep(kUp), sendStep(kInit)},
     join({kUpEvents, kComplete, kTeardownWithRecord}), "", {}},

    // The attempt ends from outside at each step, 20005 once.
    {"PeerClosesAtOnce", {}, {kHangUp}, kTeardown, "", {}},
    {"PeerClosesAfterHold", {}, {sendStep(kHold), kHangUp}, kTeardown, kHoldRelease, {}},
    {"PeerClosesAfterPush", {}, {sendStep(kPush), kHangUp}, kTeardown, "", {}},
    {"PeerClosesAfterDhcp", {}, {sendStep(kPush + kDhcp), kHangUp},
     join({{"defaultGateway"}, kTeardownWithRecord}), "", {}},
    {"PeerClosesWhenConnected", {}, {sendStep(kUp), kHangUp}, join({kUpEvents, kTeardownWithRecord}), "", {}},
    {"PeerClosesAfterAHalfLine", {}, {sendStep(">BYTECOUNT:1,"), kHangUp}, kTeardown, "", {}},
    {"OpenVpnExitsAtOnce", {}, {kExit}, kTeardown, "", {}},
    {"OpenVpnExitsAfterHold", {}, {sendStep(kHold), kExit}, kTeardown, kHoldRelease, {}},
    {"OpenVpnExitsWhenConnected", {}, {sendStep(kUp), kExit}, join({kUpEvents, kTeardownWithRecord}), "", {}},
    {"OpenVpnExitsAndThePeerCloses", {}, {sendStep(kUp), kExitAndHangUp}, join({kUpEvents, kTeardownWithRecord}), "",
     {}},
    {"ThePeerClosesAndOpenVpnExits", {}, {sendStep(kUp), kHangUpAndExit}, join({kUpEvents, kTeardownWithRecord}), "",
     {}},
    {"LineBeyondTheLimit", {}, {sendStep(std::string(1024 * 1024 + 1, 'x'))}, kTeardown, "", {}},
    {"LineBeyondTheLimitAfterTheLinesBeforeIt", {},
     {sendStep(">BYTECOUNT:1,1\r\n" + std::string(1024 * 1024 + 1, '>'))}, join({{"bytecount 1 1"}, kTeardown}), "",
     {}},

    {"GarbageOnlyGoesToTheTranscript", {},
     {sendStep(std::string("\x01\x02\xff\xfe", 4) + std::string(1, '\0') + "\r\n>\r\n>:\r\n>BYTECOUNT\r\n>LOG:\r\n"
               ">LOG:1,2\r\n>LOG:a,b,\r\n>LOG:x,y,Initialization Sequence\r\n>HOLD:\r\n>PASSWORD:\r\n"
               ">ECHO:hold release\r\nInitialization Sequence Completed\r\n>BYTECOUNT:9,9\r\n")},
     join({{"bytecount 9 9"}, kTeardown}), "", {}},
};

void PrintTo(const AttemptCase& c, std::ostream* out) { *out << c.name; }

class Attempt : public testing::TestWithParam<AttemptCase> {};

TEST_P(Attempt, RunsAsScripted) {
  const AttemptCase& c = GetParam();
  Tunnel tunnel;
  ASSERT_NO_FATAL_FAILURE(tunnel.enter(c.script));
  for (const Step& step : c.steps) {
    switch (step.kind) {
      case Step::send:
        tunnel.send(step.text);
        break;
      case Step::auth:
        tunnel.thread().sendAuth(step.text, step.password);
        settle(tunnel.thread());
        break;
      case Step::hangUp:
        tunnel.hangUp();
        settle(tunnel.thread());
        break;
      case Step::exitProcess:
        tunnel.exitProcess();
        settle(tunnel.thread());
        break;
      case Step::exitAndHangUp:
        tunnel.exitProcess();
        tunnel.hangUp();
        settle(tunnel.thread());
        break;
      case Step::hangUpAndExit:
        tunnel.hangUp();
        tunnel.exitProcess();
        settle(tunnel.thread());
        break;
    }
  }
  EXPECT_EQ(tunnel.end(), c.events);
  EXPECT_EQ(tunnel.received(), c.received);
  std::string log = tunnel.log();
  for (const std::string& line : c.logLines) EXPECT_NE(log.find(line), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(OVPNEstablished, Attempt, testing::ValuesIn(attemptCases),
                         [](const testing::TestParamInfo<AttemptCase>& info) { return info.param.name; });

TEST(OVPNEstablished, DestroyingTheMachineEndsTheAttempt) {
  Tunnel tunnel;
  ASSERT_NO_FATAL_FAILURE(tunnel.enter());
  tunnel.send(kUp);
  EXPECT_EQ(tunnel.destroyMachine(), join({kUpEvents, kTeardownWithRecord}));
}

// OpenVPN may echo what the client wrote: the password, as sent or as quoted,
// reaches neither the transcript nor the debug log.
TEST(OVPNEstablished, TranscriptKeepsEveryLineButByteCountsWithThePasswordMasked) {
  Tunnel tunnel;
  std::string before;
  {
    std::time_t now = std::time(nullptr);
    char name[32];
    std::strftime(name, sizeof name, "%Y%m%d%H%M%S.txt", std::localtime(&now));
    before = name;
  }
  ASSERT_NO_FATAL_FAILURE(tunnel.enter());
  std::string name = tunnel.system().transcriptName();
  std::time_t now = std::time(nullptr);
  char after[32];
  std::strftime(after, sizeof after, "%Y%m%d%H%M%S.txt", std::localtime(&now));
  EXPECT_TRUE(std::regex_match(name, std::regex("[0-9]{14}\\.txt"))) << name;
  EXPECT_LE(before, name);
  EXPECT_GE(std::string(after), name);

  const std::string password = "s3cr\"et\\";
  tunnel.send(kNeedAuth);
  tunnel.thread().sendAuth("user", password);
  settle(tunnel.thread());
  tunnel.send(">ECHO:1700000000,password \"Auth\" \"s3cr\\\"et\\\\\"\r\n>BYTECOUNT:1,2\r\n"
              "said s3cr\"et\\ twice: s3cr\"et\\\r\n>BYTECOUNT:s3cr\"et\\\r\n" +
              pushLine("route-gateway s3cr\"et\\"));
  tunnel.end();
  EXPECT_EQ(tunnel.transcript(),
            ">PASSWORD:Need 'Auth' username/password\n"
            ">ECHO:1700000000,password \"Auth\" \"***\"\n"
            "said *** twice: ***\n"
            ">LOG:1700000001,,PUSH: Received control message: 'PUSH_REPLY,route-gateway ***'\n");
  std::string log = tunnel.log();
  EXPECT_EQ(log.find("s3cr"), std::string::npos) << log;
  EXPECT_NE(log.find("BYTECOUNT failed: ***\n"), std::string::npos);
  EXPECT_NE(log.find("vpnGateway: ***\n"), std::string::npos);
}

// A password that is also the text of a tag masks only what follows the tag.
TEST(OVPNEstablished, APasswordThatIsATagMasksOnlyWhatFollowsTags) {
  Tunnel tunnel;
  ASSERT_NO_FATAL_FAILURE(tunnel.enter());
  tunnel.send(kNeedAuth);
  tunnel.thread().sendAuth("user", "LOG");
  settle(tunnel.thread());
  tunnel.send(pushLine("route-gateway LOG"));
  tunnel.end();
  EXPECT_EQ(tunnel.transcript(),
            ">PASSWORD:Need 'Auth' username/password\n"
            ">LOG:1700000001,,PUSH: Received control message: 'PUSH_REPLY,route-gateway ***'\n");
}

}  // namespace
