// The whole tunnel machine with the real Windows system, in this test's own
// Wine prefix: the fixture OpenVPN installation (the stand-in OpenVPN.exe of
// tests/support/openvpn as its bin\OpenVPN.exe) and the fixture TAP adapter,
// from "find" to "estab" and back. The stand-in relays its management
// connection to the bridge (this test's launcher), which runs Debian's
// openvpn as the client against a real server (root: a network namespace of
// the bridge's own) or plays a script of misbehaviours.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "core/Text.h"
#include "core/win/System.h"
#include "netcfg/NetText.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/RecordingNetworkConfig.h"
#include "tests/support/openvpn/OvpnBridgeSession.h"
#include "tests/support/win/TestFolder.h"
#include "tests/support/win/WineOvpnSystem.h"
#include "tests/tunnel/TunnelTestSupport.h"
#include "tests/tunnel/TunnelWinFixtures.h"

namespace {

using Events = std::vector<std::string>;

// The game's routes: 198.51.100.0/24 through the tunnel, 203.0.113.0/24 not.
const std::vector<RouteEntry> kRoutes = {{0xC6336400, 0xFFFFFF00, 1}, {0xCB007100, 0xFFFFFF00, 0}};
const char kForeignClosed[] = "OVPN: a management connection from another program closed\n";

// The real system, but for what Wine can't do here.
class WineSystem : public WineOvpnSystem {
 public:
  WineSystem(const std::wstring& folder, std::shared_ptr<EventRecord> record)
      : WineOvpnSystem(folder, joinPath(folder, L"logs")), record_(std::move(record)) {}

  std::unique_ptr<NetworkConfig> createNetworkConfig() override {
    record_->add("config made");
    return std::make_unique<RecordingNetworkConfig>(record_, kAdapterGuid);
  }

  // Set on the machine's thread before it returns to its loop, which then
  // hands every later connection to the attempt's owner check.
  std::unique_ptr<OVPNProcess> startProgram(const std::wstring& programPath,
                                            const std::wstring& commandLine) override {
    std::unique_ptr<OVPNProcess> process = WineOvpnSystem::startProgram(programPath, commandLine);
    programStarted = true;
    return process;
  }
  std::atomic<bool> programStarted{false};

 private:
  std::shared_ptr<EventRecord> record_;
};

// Records, and answers the password request with the test's credentials.
class AnsweringListener : public RecordingListener {
 public:
  AnsweringListener(std::shared_ptr<EventRecord> record, std::string user, std::string password)
      : RecordingListener(std::move(record)), user_(std::move(user)), password_(std::move(password)) {}
  void needCredentials() override {
    RecordingListener::needCredentials();
    if (OVPNThread* machine = thread.load()) machine->sendAuth(user_, password_);
  }
  std::atomic<OVPNThread*> thread{nullptr};  // set once the machine exists

 private:
  std::string user_;
  std::string password_;
};

Events withoutByteCounts(const Events& events) {
  Events kept;
  for (const std::string& event : events)
    if (!startsWith(event, "bytecount ")) kept.push_back(event);
  return kept;
}

// The events of an attempt that reached completion with the address ip and
// the gateway gw, and then was stopped.
Events connectedThenStopped(uint32_t ip, const std::string& gw) {
  std::string record = ipv4ToString(ip) + "/255.255.255.0 def 192.168.1.1";
  return {"needConfig", "config made", "needCredentials", "defaultGateway", "flush " + record, "metric",
          "dns " + gw + " " + record,
          "write 198.51.100.0/255.255.255.0 vpn 203.0.113.0/255.255.255.0 def via " + gw + " " + record,
          "connected " + std::to_string(ip), "flush " + record, "config destroyed", "status 20005"};
}

// Script steps of bridge.py, as JSON.
std::string connectStep(int c) { return "{\"connect\": " + std::to_string(c) + "}"; }
std::string sendStep(const std::string& bytes, int to = 1) {
  return "{\"send\": " + jsonBytes(bytes) + ", \"to\": " + std::to_string(to) + "}";
}
// Every byte a write of its own, gapMs apart: a split at every byte.
std::string sendBytewise(const std::string& bytes, int gapMs) {
  std::string pieces;
  for (char c : bytes) pieces += (pieces.empty() ? "" : ", ") + jsonBytes(std::string(1, c));
  return "{\"send\": [" + pieces + "], \"gapMs\": " + std::to_string(gapMs) + "}";
}
std::string sendRepeated(const std::string& piece, size_t times) {
  return "{\"send\": " + jsonBytes(piece) + ", \"repeat\": " + std::to_string(times) + "}";
}
std::string expectStep(const std::string& bytes) { return "{\"expect\": " + jsonBytes(bytes) + ", \"ms\": 20000}"; }
std::string closeStep(int c) { return "{\"close\": " + std::to_string(c) + "}"; }
std::string exitStep(int code) { return "{\"exit\": " + std::to_string(code) + "}"; }
std::string sleepStep(int ms) { return "{\"sleep\": " + std::to_string(ms) + "}"; }
// Until the test's OvpnBridgeSession::release.
std::string holdStep() { return "{\"hold\": 60000}"; }
std::string script(const std::vector<std::string>& steps) {
  std::string list;
  for (const std::string& step : steps) list += (list.empty() ? "" : ", ") + step;
  return "{\"steps\": [" + list + "], \"lingerMs\": 30000}";
}

// What OpenVPN says in a short dialogue, and what the client writes back.
const std::string kInfo = ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n";
const std::string kPush =
    ">LOG:1700000001,,PUSH: Received control message: 'PUSH_REPLY,topology subnet,"
    "ifconfig 10.8.0.6 255.255.255.0,route-gateway 10.8.0.1'\r\n";
const std::string kDhcp =
    ">LOG:1700000002,,Notified TAP-Windows driver to set a DHCP IP/netmask of 10.8.0.6/255.255.255.0 on "
    "interface {5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60} [DHCP-serv: 10.8.0.254, lease-time: 31536000]\r\n";
const std::string kCompleted = ">LOG:1700000003,,Initialization Sequence Completed\r\n";
const std::string kByteCount = ">BYTECOUNT:1234,5678\r\n";
const uint32_t kScriptIp = 0x0A080006;  // 10.8.0.6
// Credentials with the characters that must be quoted.
const std::string kUser = "us\"er";
const std::string kPassword = "p\\a ss\"";
const std::string kCredentials = "username \"Auth\" \"us\\\"er\"\r\npassword \"Auth\" \"p\\\\a ss\\\"\"\r\n";

class OVPNOpenVpnWinTest : public testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    removeInstallationKeys();
    folder_ = makeTestFolder(L"openvpn tunnel");
    placeFile(folder_, L"TAP\\bin\\tapinstall.exe", pe32Program());
    ASSERT_TRUE(CreateDirectoryW(joinPath(folder_, L"logs").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(joinPath(folder_, L"OpenVPN").c_str(), nullptr));
    setDefaultString(HKEY_LOCAL_MACHINE, kOpenVpnKey, joinPath(folder_, L"OpenVPN"));
    setDefaultString(HKEY_LOCAL_MACHINE, kTapKey, joinPath(folder_, L"TAP"));
    adapter_ = std::make_unique<MarkedTapAdapter>(fromUtf8(kAdapterGuidText));
  }
  void TearDown() override {
    thread_.reset();
    session_.reset();
    adapter_.reset();
    removeInstallationKeys();
    removeTestFolder(folder_);
    WSACleanup();
  }

  // A bridge session and the stand-in placed for it; false when the bridge
  // refused.
  bool openSession(const std::string& kind, const std::string& json) {
    session_ = OvpnBridgeSession::open(kind, json, &whyNoSession_);
    if (!session_) return false;
    EXPECT_TRUE(placeOpenVpnStandIn(joinPath(folder_, L"OpenVPN\\bin"), session_->port()));
    return true;
  }

  // The machine up to the configuration request, then connect.
  void start(const std::string& serverText, bool udp, const std::string& user = kUser,
             const std::string& password = kPassword) {
    auto listener = std::make_shared<AnsweringListener>(record_, user, password);
    system_ = std::make_shared<WineSystem>(folder_, record_);
    thread_ = std::make_unique<OVPNThread>(listener, system_);
    listener->thread = thread_.get();
    thread_->start();
    ASSERT_TRUE(record_->waitFor("needConfig", 1, 30000)) << log_.text();
    connectedAt_ = GetTickCount();
    thread_->connect(serverText, "127.0.0.1", udp, udp ? 1194 : 1195, kRoutes);
  }

  // Waits until an event starts with prefix; its text, or "" at the deadline.
  std::string waitForPrefix(const std::string& prefix, int ms) {
    DWORD start = GetTickCount();
    for (;;) {
      for (const std::string& event : record_->events())
        if (startsWith(event, prefix)) return event;
      if (GetTickCount() - start > static_cast<DWORD>(ms)) return std::string();
      Sleep(20);
    }
  }

  // Stops a running attempt and waits for its teardown.
  void stop() {
    thread_->stop();
    EXPECT_TRUE(record_->waitFor("config destroyed", 1, 20000));
    thread_.reset();
  }

  // The folders left in the test folder: the admin-only folder of the
  // configuration file goes with the attempt.
  std::vector<std::string> leftInFolder() {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(joinPath(folder_, L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(toUtf8(name));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
  }

  // The OpenVPN transcripts in the client's logs folder, all of them.
  std::string transcripts() const { return transcriptsIn(joinPath(folder_, L"logs")); }

  // The bridge's record, with the stand-in's end checked. The machine is
  // gone: it ended OpenVPN and waited for it.
  OvpnBridgeRecord finish() {
    session_->standInGone();
    OvpnBridgeRecord record = session_->record(30000);
    EXPECT_TRUE(record.complete);
    for (const std::string& error : record.errors) ADD_FAILURE() << "bridge: " << error;
    EXPECT_EQ(leftInFolder(), (std::vector<std::string>{"OpenVPN", "TAP", "logs"}));
    if (system_ && system_->acceptedPid != 0) {
      EXPECT_EQ(record.pid, system_->acceptedPid.load());
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, record.pid);
    if (process) {
      EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0) << "the stand-in still runs";
      CloseHandle(process);
    }
    return record;
  }

  CapturedDebugLog log_;
  std::shared_ptr<EventRecord> record_ = std::make_shared<EventRecord>();
  std::shared_ptr<WineSystem> system_;
  std::unique_ptr<OVPNThread> thread_;
  std::unique_ptr<OvpnBridgeSession> session_;
  std::string whyNoSession_;  // when openSession gave none
  std::unique_ptr<MarkedTapAdapter> adapter_;
  std::wstring folder_;
  DWORD connectedAt_ = 0;
};

bool has(const std::vector<std::string>& events, const std::string& event) {
  return std::find(events.begin(), events.end(), event) != events.end();
}

// Against the real OpenVPN, over udp and tcp.
struct Proto {
  const char* name;
  bool udp;
  uint32_t network;  // the server's tunnel network
};
const Proto kProtos[] = {{"Udp", true, 0x0A4D0800}, {"Tcp", false, 0x0A4D0900}};

void PrintTo(const Proto& p, std::ostream* out) { *out << p.name; }

class OVPNRealOpenVpnTest : public OVPNOpenVpnWinTest, public testing::WithParamInterface<Proto> {};

TEST_P(OVPNRealOpenVpnTest, GoodPasswordConnectsCountsBytesAndStopEndsIt) {
  const Proto& proto = GetParam();
  SKIP_UNLESS_REAL_SESSION(openSession("real", "{}"), whyNoSession_);
  start(session_->serverText(), proto.udp, "u", "p");
  std::string connected = waitForPrefix("connected ", 30000);
  ASSERT_FALSE(connected.empty()) << log_.text();
  uint32_t ip = static_cast<uint32_t>(std::stoul(connected.substr(10)));
  // The server's pool, past its own address.
  EXPECT_EQ(ip & 0xFFFFFF00, proto.network) << ipv4ToString(ip);
  EXPECT_GE(ip & 0xFF, 2u);
  // Byte counts come every second once the hold is released.
  size_t connectedAt = 0;
  DWORD start = GetTickCount();
  std::string byteCount;
  while (byteCount.empty() && GetTickCount() - start < 5000) {
    Events events = record_->events();
    connectedAt = std::find(events.begin(), events.end(), connected) - events.begin();
    for (size_t i = connectedAt; i < events.size(); ++i)
      if (startsWith(events[i], "bytecount ")) byteCount = events[i];
    Sleep(50);
  }
  ASSERT_FALSE(byteCount.empty());
  EXPECT_TRUE(std::regex_match(byteCount, std::regex("bytecount [1-9][0-9]* [1-9][0-9]*"))) << byteCount;
  stop();
  EXPECT_EQ(withoutByteCounts(record_->events()), connectedThenStopped(ip, ipv4ToString(proto.network | 1)));

  OvpnBridgeRecord record = finish();
  EXPECT_EQ(record.written[1], kHoldRelease + "username \"Auth\" \"u\"\r\npassword \"Auth\" \"p\"\r\n");
  // The client's own lines follow the server's text.
  std::regex ownLines(std::string("\nremote 127\\.0\\.0\\.1 ") + (proto.udp ? "1194" : "1195") +
                      "\nmanagement 127\\.0\\.0\\.1 [1-9][0-9]*\nproto " + (proto.udp ? "udp" : "tcp") +
                      "\ndev-node \\{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60\\}\n$");
  EXPECT_EQ(record.config.compare(0, session_->serverText().size(), session_->serverText()), 0);
  EXPECT_TRUE(std::regex_search(record.config, ownLines)) << record.config;
  EXPECT_EQ(std::count_if(record.events.begin(), record.events.end(),
                          [](const std::string& e) { return startsWith(e, "openvpn-exit "); }),
            1);
  // Up to the first "p": the password is masked wherever it occurs.
  EXPECT_NE(transcripts().find(",Initialization Sequence Com"), std::string::npos) << transcripts();
}

// The server refuses the password; OpenVPN (no auth-retry) says so and exits.
TEST_P(OVPNRealOpenVpnTest, WrongPasswordEndsTheAttempt) {
  const Proto& proto = GetParam();
  SKIP_UNLESS_REAL_SESSION(openSession("real", "{}"), whyNoSession_);
  start(session_->serverText(), proto.udp, "u", "wrong");
  ASSERT_TRUE(record_->waitFor("status 20005", 1, 30000)) << log_.text();
  ASSERT_TRUE(record_->waitFor("config destroyed", 1, 10000));
  thread_.reset();
  EXPECT_EQ(withoutByteCounts(record_->events()),
            (Events{"needConfig", "config made", "needCredentials", "config destroyed", "status 20005"}));
  EXPECT_NE(transcripts().find(">PASSWORD:Verification Failed: 'Auth'\n"), std::string::npos) << transcripts();
  OvpnBridgeRecord record = finish();
  EXPECT_EQ(record.written[1], kHoldRelease + "username \"Auth\" \"u\"\r\npassword \"Auth\" \"wrong\"\r\n");
  EXPECT_EQ(std::count_if(record.events.begin(), record.events.end(),
                          [](const std::string& e) { return startsWith(e, "openvpn-exit "); }),
            1);
}

INSTANTIATE_TEST_SUITE_P(Protos, OVPNRealOpenVpnTest, testing::ValuesIn(kProtos),
                         [](const testing::TestParamInfo<Proto>& info) { return std::string(info.param.name); });

// Against the script: OpenVPN's side of the dialogue as the bridge plays it.
const std::string kServerText = "client\nmanagement-client\nmanagement-hold\nmanagement-query-passwords\n";

// The events of a scripted attempt that completed, counted bytes once and
// was stopped.
Events scriptCompleted() {
  Events events = connectedThenStopped(kScriptIp, "10.8.0.1");
  events.insert(events.begin() + 9, "bytecount 1234 5678");
  return events;
}
const Events kEndedBeforeCredentials = {"needConfig", "config made", "config destroyed", "status 20005"};
const Events kEndedAtCredentials = {"needConfig", "config made", "needCredentials", "config destroyed",
                                    "status 20005"};
const Events kEndedAfterDhcpNotice = {"needConfig", "config made", "needCredentials", "defaultGateway",
                                      "flush 10.8.0.6/255.255.255.0 def 192.168.1.1", "config destroyed",
                                      "status 20005"};

const std::string kGarbage =
    "garbage\r\n\n\r\n\r>\r\n>NOCOLON\r\n\x01\x02\xfe\xff\r\n>LOG:no commas\r\n>HOLD:not waiting\r\n"
    ">PASSWORD:something else\r\n>BYTECOUNT:-1,5\r\n>BYTECOUNT:12 34,5\r\n>BYTECOUNT:99999999999999999999999,1\r\n"
    ">BYTECOUNT:7\r\n>LOG:1700000000,,PUSH: Received control message: 'PUSH_REPLY,topology subnet'\r\n";
const std::string kCompletedWithErrors =
    ">LOG:1700000003,,Initialization Sequence Completed With Errors ( see http://openvpn.net/faq.html#dhcpclientserv "
    ")\r\n";

// Up to the hold release, then the password request answered.
std::vector<std::string> toCredentials(std::vector<std::string> more) {
  std::vector<std::string> steps = {connectStep(1), sendStep(kInfo + kHold), expectStep(kHoldRelease),
                                    sendStep(kNeedAuth), expectStep(kCredentials)};
  steps.insert(steps.end(), more.begin(), more.end());
  return steps;
}

struct ScriptCase {
  const char* name;
  std::vector<std::string> steps;
  // The event after which the test stops the attempt; empty: it ends itself.
  std::string until;
  Events events;
  std::string written;  // by the client on connection 1
};

const ScriptCase kScriptCases[] = {
    {"SplitAtEveryByte",
     {connectStep(1), sendBytewise(kInfo + kHold, 2), expectStep(kHoldRelease), sendBytewise(kNeedAuth, 2),
      expectStep(kCredentials), sendBytewise(kPush + kDhcp + kCompleted + kByteCount, 1)},
     "bytecount 1234 5678", scriptCompleted(), kHoldRelease + kCredentials},
    {"GarbageLinesIgnored",
     {connectStep(1), sendStep(kInfo + kGarbage + kHold), expectStep(kHoldRelease), sendStep(kGarbage + kNeedAuth),
      expectStep(kCredentials), sendStep(kPush + kGarbage + kDhcp + kGarbage + kCompleted + kGarbage + kByteCount)},
     "bytecount 1234 5678", scriptCompleted(), kHoldRelease + kCredentials},
    {"CompletedWithErrorsCounts", toCredentials({sendStep(kPush + kDhcp + kCompletedWithErrors + kByteCount)}),
     "bytecount 1234 5678", scriptCompleted(), kHoldRelease + kCredentials},
    // Not OpenVPN speaking any more: no line of its is this long.
    {"OverLongLineEndsTheAttempt",
     {connectStep(1), sendStep(kInfo + kHold), expectStep(kHoldRelease), sendStep(">LOG:1700000001,,"),
      sendRepeated("x", 1024 * 1024 + 1)},
     "", kEndedBeforeCredentials, kHoldRelease},
    // The connection closed by OpenVPN at each step.
    // A close before the client has written anything would race its owner
    // check (which under load reads Wine's TCP table for seconds): each close
    // here follows what the client wrote.
    {"CloseInAHalfLine",
     {connectStep(1), sendStep(kInfo + kHold), expectStep(kHoldRelease), sendStep(">LOG:1700000001,,PUSH: Rec"),
      sleepStep(300), closeStep(1)},
     "", kEndedBeforeCredentials, kHoldRelease},
    {"CloseAfterTheHoldRelease", {connectStep(1), sendStep(kInfo + kHold), expectStep(kHoldRelease), closeStep(1)}, "",
     kEndedBeforeCredentials, kHoldRelease},
    {"CloseAfterTheCredentials", toCredentials({closeStep(1)}), "", kEndedAtCredentials, kHoldRelease + kCredentials},
    {"CloseAfterTheDhcpNotice", toCredentials({sendStep(kPush + kDhcp), sleepStep(300), closeStep(1)}), "",
     kEndedAfterDhcpNotice, kHoldRelease + kCredentials},
    {"CloseAfterCompletion", toCredentials({sendStep(kPush + kDhcp + kCompleted), sleepStep(300), closeStep(1)}), "",
     connectedThenStopped(kScriptIp, "10.8.0.1"), kHoldRelease + kCredentials},
    // The process ends and its connection closes: one report for both.
    {"ExitAfterCompletion", toCredentials({sendStep(kPush + kDhcp + kCompleted), sleepStep(300), exitStep(1)}), "",
     connectedThenStopped(kScriptIp, "10.8.0.1"), kHoldRelease + kCredentials},
    // The listener is gone once OpenVPN's connection is taken; the first goes on.
    {"SecondConnectionRefused",
     {connectStep(1), sendStep(kInfo + kHold), expectStep(kHoldRelease), connectStep(2), sendStep(kNeedAuth),
      expectStep(kCredentials), sendStep(kPush + kDhcp + kCompleted + kByteCount)},
     "bytecount 1234 5678", scriptCompleted(), kHoldRelease + kCredentials},
};

void PrintTo(const ScriptCase& c, std::ostream* out) { *out << c.name; }

class OVPNScriptedTest : public OVPNOpenVpnWinTest, public testing::WithParamInterface<ScriptCase> {};

TEST_P(OVPNScriptedTest, Dialogue) {
  const ScriptCase& c = GetParam();
  ASSERT_TRUE(openSession("script", script(c.steps))) << whyNoSession_;
  start(kServerText, true);
  if (!c.until.empty()) {
    ASSERT_TRUE(record_->waitFor(c.until, 1, 30000)) << log_.text() << system_->refusals();
    stop();
  } else {
    ASSERT_TRUE(record_->waitFor("status 20005", 1, 30000)) << log_.text() << system_->refusals();
    thread_.reset();
  }
  EXPECT_EQ(record_->events(), c.events);
  OvpnBridgeRecord record = finish();
  EXPECT_EQ(record.written[1], c.written);
  EXPECT_EQ(record.written.count(2), 0u) << record.written[2];
  // A second connection is refused, or closed unheard.
  if (has(record.events, "connected 2")) {
    EXPECT_TRUE(has(record.events, "closed 2"));
  }
  if (has(c.steps, connectStep(2))) {
    EXPECT_TRUE(has(record.events, "refused 2") || has(record.events, "closed 2"));
  }
}

INSTANTIATE_TEST_SUITE_P(Scripts, OVPNScriptedTest, testing::ValuesIn(kScriptCases),
                         [](const testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });

// OpenVPN never connects back: the attempt gives up after 5 s.
TEST_F(OVPNOpenVpnWinTest, NoConnectBackTimesOut) {
  ASSERT_TRUE(openSession("script", script({sleepStep(9000)}))) << whyNoSession_;
  start(kServerText, false);
  ASSERT_TRUE(record_->waitFor("status 20025", 1, 15000));
  DWORD elapsed = GetTickCount() - connectedAt_;
  EXPECT_GE(elapsed, 4900u);
  EXPECT_LT(elapsed, 8000u);
  thread_.reset();
  EXPECT_EQ(record_->events(), (Events{"needConfig", "status 20025"}));
  OvpnBridgeRecord record = finish();
  EXPECT_TRUE(has(record.events, "standin-gone"));
  EXPECT_EQ(record.written.size(), 0u);
}

// Another program reaches the management port first: it is closed unheard,
// the listener goes on and takes OpenVPN's own connection. OpenVPN is held
// until the other program has connected: connecting first, it would be taken
// and leave no listener for the other program.
TEST_F(OVPNOpenVpnWinTest, ForeignConnectionClosedThenOpenVpnTaken) {
  ASSERT_TRUE(openSession("script", script({holdStep(), connectStep(1), sendStep(kInfo + kHold),
                                            expectStep(kHoldRelease), sendStep(kNeedAuth), expectStep(kCredentials),
                                            sendStep(kPush + kDhcp + kCompleted + kByteCount)})))
      << whyNoSession_;
  start(kServerText, true);
  // The port, from the configuration file in its admin-only folder.
  unsigned port = 0;
  for (DWORD start = GetTickCount(); port == 0 && GetTickCount() - start < 5000; Sleep(20)) {
    for (const std::string& name : leftInFolder()) {
      if (name == "OpenVPN" || name == "TAP" || name == "logs") continue;
      std::wstring sub = joinPath(folder_, fromUtf8(name));
      WIN32_FIND_DATAW found;
      HANDLE search = FindFirstFileW(joinPath(sub, L"*.tmp").c_str(), &found);
      if (search == INVALID_HANDLE_VALUE) continue;
      std::string text = fileOrNone(joinPath(sub, found.cFileName));
      FindClose(search);
      std::smatch match;
      if (std::regex_search(text, match, std::regex("\nmanagement 127\\.0\\.0\\.1 ([0-9]+)\n")))
        port = static_cast<unsigned>(std::stoul(match[1]));
    }
  }
  ASSERT_NE(port, 0u) << "no configuration file found";
  // A connection before OpenVPN has started is closed unasked; this one must
  // meet the owner check.
  for (DWORD start = GetTickCount(); !system_->programStarted && GetTickCount() - start < 10000;) Sleep(20);
  ASSERT_TRUE(system_->programStarted) << "OpenVPN was not started";
  SOCKET foreign = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(foreign, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // Sent, so that the connection's owner is known (see WineSystem).
  send(foreign, kInfo.data(), static_cast<int>(kInfo.size()), 0);
  // OpenVPN may connect now: its connection queues behind this one.
  session_->release();
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(foreign, &readable);
  // The close is what is checked, not its speed: a loaded machine reads
  // Wine's connection table slowly.
  timeval wait{20, 0};
  ASSERT_EQ(select(0, &readable, nullptr, nullptr, &wait), 1)
      << "the foreign connection stayed open\n" << log_.text() << system_->refusals();
  char byte;
  EXPECT_LE(recv(foreign, &byte, 1, 0), 0) << "the foreign program was answered";
  closesocket(foreign);

  ASSERT_TRUE(record_->waitFor("bytecount 1234 5678", 1, 30000)) << log_.text();
  stop();
  EXPECT_EQ(record_->events(), scriptCompleted());
  std::string log = log_.text();
  EXPECT_EQ(log.find(kForeignClosed), log.rfind(kForeignClosed));
  EXPECT_NE(log.find(kForeignClosed), std::string::npos);
  OvpnBridgeRecord record = finish();
  EXPECT_EQ(record.written[1], kHoldRelease + kCredentials);
}


}  // namespace
