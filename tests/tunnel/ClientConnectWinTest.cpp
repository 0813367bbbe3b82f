// The connect road end to end through the real client: the tunnel test copy
// of client.exe (the client's own main and parts, but a recorded network
// configuration: tests/support/hosting/TunnelClientSeams.cpp) runs in this
// test's own Wine prefix beside the stand-in hosting DLL, whose stand-in GUI
// logs in, connects, reads the rates, disconnects and logs out. Its peers are
// this test's launchers: the demo backend and download servers
// (tests/support/demo_peers.py, on the client's built-in ports) and the
// OpenVPN bridge (tests/support/openvpn/bridge.py), whose real OpenVPN client
// and server (root: a network namespace of the bridge's own) the stand-in
// OpenVPN.exe of the fixture installation relays to.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/Json.h"
#include "core/Sha256.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "netcfg/DnsRecord.h"
#include "netcfg/NetText.h"
#include "netcfg/win/RegistryDnsRecord.h"
#include "tests/support/ConnBackend.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/HttpScenarios.h"
#include "tests/support/ManifestSigner.h"
#include "tests/support/TestFiles.h"
#include "tests/support/openvpn/OvpnBridgeSession.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/LoopbackInterface.h"
#include "tests/support/win/MachineRootCertificate.h"
#include "tests/support/win/TestFolder.h"
#include "tests/tunnel/TunnelTestSupport.h"
#include "tests/tunnel/TunnelWinFixtures.h"

namespace {

using Lines = std::vector<std::string>;

const wchar_t kReleaseKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
// What the demo backend's "routeTable" gives, after the server's own route.
const char kGameRoutes[] = "198.51.100.0/255.255.255.0 vpn 203.0.113.0/255.255.255.0 def";
const char kInstaller[] = "openvpn-install.exe";
const int kDownloadPort = 20080;  // the demo peers' plain http server

Lines lines(const std::string& text) {
  Lines out;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) out.push_back(line);
  return out;
}

// A path of the build tree as this program opens it.
std::wstring builtPath(const std::string& relative) {
  const char* binary = std::getenv("ZAV_BINARY_DIR");
  return fromUtf8(hostPath(std::string(binary ? binary : ".") + "/" + relative));
}

Lines startingWith(const Lines& all, const std::string& prefix) {
  Lines kept;
  for (const std::string& line : all)
    if (startsWith(line, prefix)) kept.push_back(line);
  return kept;
}

// The first expected line that is missing from all in this order; "" when
// every one appears in order.
std::string missingInOrder(const Lines& all, const Lines& expected) {
  size_t next = 0;
  for (const std::string& line : all)
    if (next < expected.size() && line == expected[next]) ++next;
  return next < expected.size() ? expected[next] : std::string();
}

std::string jsonText(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

struct Road {
  bool udp;
  uint32_t network;  // the bridge's server's tunnel network for this protocol
};
const Road kUdp = {true, 0x0A4D0800};
const Road kTcp = {false, 0x0A4D0900};

class ClientConnectTest : public testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    setRegistryDword(kReleaseKey, L"Release", 528040);
    removeInstallationKeys();
    folder_ = makeTestFolder(L"client connect");
    ASSERT_TRUE(CreateDirectoryW(joinPath(folder_, L"logs").c_str(), nullptr));
    std::wstring hosting = builtPath("tests/hosting");
    ASSERT_TRUE(CopyFileW(joinPath(hosting, L"tunnel\\client.exe").c_str(), program().c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(joinPath(hosting, L"full\\mscoree.dll").c_str(), joinPath(folder_, L"mscoree.dll").c_str(),
                          FALSE));
    const char* peers = std::getenv("ZAV_DEMO_PEERS");
    ASSERT_NE(peers, nullptr) << "run under tests/support/demo_peers.py --exec";
    peers_ = peers;
    backendBefore_ = backendRequests().size();
    downloadsBefore_ = downloads().size();
    // The update check finds this client as it is.
    ASSERT_TRUE(writeWideFile(fromUtf8(served("desc")), upToDateManifest(readWideFile(program()), nullptr)));

    // TAP-Windows and the client's own adapter, marked by an earlier run.
    placeFile(folder_, L"TAP\\bin\\tapinstall.exe", pe32Program());
    setDefaultString(HKEY_LOCAL_MACHINE, kTapKey, joinPath(folder_, L"TAP"));
    adapter_ = std::make_unique<MarkedTapAdapter>(fromUtf8(kAdapterGuidText));
  }
  void TearDown() override {
    session_.reset();
    adapter_.reset();
    removeInstallationKeys();
    removeTestFolder(folder_);
    WSACleanup();
  }

  // A real bridge session; false when there is none (why_ says why).
  bool openSession() {
    session_ = OvpnBridgeSession::open("real", "{}", &why_);
    return session_ != nullptr;
  }

  // The fixture OpenVPN installation, whose OpenVPN.exe is the stand-in for
  // the session.
  bool installOpenVpn() {
    setDefaultString(HKEY_LOCAL_MACHINE, kOpenVpnKey, joinPath(folder_, L"OpenVPN"));
    return CreateDirectoryW(joinPath(folder_, L"OpenVPN").c_str(), nullptr) &&
           placeOpenVpnStandIn(joinPath(folder_, L"OpenVPN\\bin"), session_->port());
  }

  // The backend's answers for this attempt: a sub-account whose tunnel
  // credentials are user and password, with one server on loopback, and the
  // bridge's server configuration when there is a session.
  void scriptBackend(const std::string& user, const std::string& password) {
    EXPECT_EQ(backend_.command("script {\"op\":\"subAccount\",\"text\":" +
                     jsonText("{\"rst\":0,\"userName\":" + jsonText(user) + ",\"password\":\"" + base64Encode(password) +
                              "\",\"status\":1,\"statusText\":\"active\",\"productName\":\"Lab\",\"policy\":2,"
                              "\"policyText\":\"monthly\",\"expireDate\":\"2027-06-30\",\"balance\":100,"
                              "\"timeLength\":60,\"flowLength\":60,\"servers\":[{\"name\":\"Lab One\","
                              "\"addr\":\"127.0.0.1\",\"tcp\":1195,\"udp\":1194}]}") +
                     "}"),
              "ok");
    if (!session_) return;
    EXPECT_EQ(backend_.command("script {\"op\":\"ovpnConfig\",\"text\":" +
                               jsonText("{\"rst\":0,\"config\":" + jsonText(session_->serverText()) + "}") + "}"),
              "ok");
  }

  // The client started under the stand-in GUI's script.
  HANDLE startClient(const std::string& gui) {
    SetEnvironmentVariableW(L"ZAV_STANDIN_RECORD", joinPath(folder_, L"record.txt").c_str());
    SetEnvironmentVariableW(L"ZAV_STANDIN_GUI", fromUtf8(gui).c_str());
    HANDLE process = startProgram(program(), L"");
    EXPECT_NE(process, nullptr);
    return process;
  }

  // One run of the client under the stand-in GUI's script, to its end.
  DWORD runClient(const std::string& gui) {
    HANDLE process = startClient(gui);
    if (!process) return 0xFFFFFFFF;
    DWORD exitCode = 0xFFFFFFFF;
    if (WaitForSingleObject(process, 180000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the client did not end";
      TerminateProcess(process, 99);
      WaitForSingleObject(process, 5000);
    }
    GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    return exitCode;
  }

  std::wstring program() const { return joinPath(folder_, L"client.exe"); }
  std::string served(const std::string& name) const { return hostPath(peers_ + "/files/" + name); }
  Lines guiRecord() const { return lines(fileOrNone(joinPath(folder_, L"record.txt"))); }
  Lines networkRecord() const { return lines(fileOrNone(joinPath(folder_, L"network-record.txt"))); }
  std::string debugLog() const { return decryptDebugLog(fileOrNone(joinPath(folder_, L"logs\\debug.dat"))); }
  // What the peers were asked during this test (they serve every test).
  Lines backendRequests() const { return peerLog("backend-requests.log", backendBefore_); }
  Lines downloads() const { return peerLog("requests.log", downloadsBefore_); }
  Lines peerLog(const std::string& name, size_t skipped) const {
    Lines all = lines(fileOrNone(fromUtf8(hostPath(peers_ + "/" + name))));
    return Lines(all.begin() + static_cast<std::ptrdiff_t>(std::min(skipped, all.size())), all.end());
  }
  // The OpenVPN transcripts in the client's logs folder, all of them.
  std::string transcripts() const { return transcriptsIn(joinPath(folder_, L"logs")); }

  // Whether the client reported a connection to the backend, in any form.
  bool estabStatsSent() const {
    for (const std::string& request : backendRequests())
      if (request.find("\"op\":\"estabStats\"") != std::string::npos) return true;
    return false;
  }
  // The tunnel address the client reported to the backend; 0 when none.
  uint32_t reportedTunnelIp() const {
    for (const std::string& request : backendRequests()) {
      std::smatch match;
      // Its members in the client's order, the operation last.
      if (std::regex_match(request, match,
                           std::regex("\\{\"intIP\":([0-9]+),\"srvAddr\":\"127\\.0\\.0\\.1\",\"ping\":-?[0-9]+,"
                                      "\"op\":\"estabStats\"\\}")))
        return static_cast<uint32_t>(std::stoul(match[1]));
    }
    return 0;
  }

  // The bridge's record once the client has ended its OpenVPN: the password
  // answered once, OpenVPN ended once.
  void expectOpenVpnEnded(const std::string& password) {
    session_->standInGone();
    OvpnBridgeRecord record = session_->record(30000);
    EXPECT_TRUE(record.complete);
    for (const std::string& error : record.errors) ADD_FAILURE() << "bridge: " << error;
    EXPECT_EQ(record.written[1], kHoldRelease + "username \"Auth\" \"u\"\r\npassword \"Auth\" \"" + password + "\"\r\n");
    EXPECT_EQ(std::count_if(record.events.begin(), record.events.end(),
                            [](const std::string& e) { return startsWith(e, "openvpn-exit "); }),
              1);
  }

  // The network record of an attempt that came up with ip and was
  // disconnected: the routes written through the tunnel's gateway, flushed
  // again at the end, and the configuration's end, which sets DNS back.
  Lines connectedThenDisconnected(uint32_t ip, const Road& road) const {
    std::string gateway = ipv4ToString(road.network | 1);
    std::string record = ipv4ToString(ip) + "/255.255.255.0 def 192.168.1.1";
    return {"config made",
            "defaultGateway",
            "flush " + record,
            "metric",
            "dns " + gateway + " " + record,
            "write 127.0.0.1/255.255.255.255 def " + std::string(kGameRoutes) + " via " + gateway + " " + record,
            "flush " + record,
            "config destroyed"};
  }

  // What every run's GUI record shows: no broken contract, no message box or
  // error shown, the client's end.
  void expectCleanEnd(const Lines& gui) {
    EXPECT_EQ(startingWith(gui, "ERROR "), Lines());
    EXPECT_EQ(startingWith(gui, "MessageBoxW "), Lines());
    EXPECT_EQ(startingWith(gui, "IMainView::showError"), Lines());
    EXPECT_EQ(startingWith(gui, "ILoginView::showError"), Lines());
    ASSERT_FALSE(gui.empty());
    EXPECT_EQ(gui.back(), "CorExitProcess 0");
  }

  ConnBackend backend_;
  std::unique_ptr<OvpnBridgeSession> session_;
  std::string why_;
  std::string peers_;  // the demo peers' folder (a host path)
  size_t backendBefore_ = 0;
  size_t downloadsBefore_ = 0;
  std::unique_ptr<MarkedTapAdapter> adapter_;
  std::wstring folder_;
};

const char kLogin[] = "login-on-state:4:demo:demo:0,leave-after-logout,";

TEST_F(ClientConnectTest, ConnectsCountsBytesAndDisconnectEndsOpenVpnAndSetsTheNetworkBack) {
  SKIP_UNLESS_REAL_SESSION(openSession(), why_);
  ASSERT_TRUE(installOpenVpn());
  scriptBackend("u", "p");

  EXPECT_EQ(runClient(std::string(kLogin) + "main-steps:connect-0-0-1:rates-6:disconnect:logout"), 0u);
  Lines gui = guiRecord();
  expectCleanEnd(gui);
  EXPECT_EQ(missingInOrder(gui, {"GUI: connect 1 101 \"Demo Racer\" 0", "IMainView::beginOperation",
                                 "IOperationProgress::setDeterminate 0", "IOperationProgress::showStatus 90004",
                                 "IOperationProgress::endSuccess 0", "IMainView::connected", "GUI: disconnect",
                                 "IMainView::disconnected", "GUI: logout", "IMainView::backToLogin"}),
            "");
  EXPECT_EQ(startingWith(gui, "IOperationProgress::ask"), Lines());
  EXPECT_EQ(startingWith(gui, "IOperationProgress::endError"), Lines());

  // The rates move: the tunnel's pings are counted both ways every second
  // (OpenVPN's first count may come a few seconds after the tunnel is up).
  Lines rates = startingWith(gui, "GUI: rates ");
  ASSERT_EQ(rates.size(), 6u);
  std::regex rateLine("GUI: rates 0 in ([0-9]+) ([0-9]+) out ([0-9]+) ([0-9]+)");
  std::vector<uint64_t> inTotals, outTotals;
  uint64_t inRates = 0, outRates = 0;
  for (const std::string& line : rates) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, rateLine)) << line;
    inTotals.push_back(std::stoull(match[1]));
    inRates += std::stoull(match[2]);
    outTotals.push_back(std::stoull(match[3]));
    outRates += std::stoull(match[4]);
  }
  std::string shown = testing::PrintToString(rates);
  EXPECT_GT(inTotals.back(), inTotals.front()) << shown;
  EXPECT_GT(outTotals.back(), outTotals.front()) << shown;
  EXPECT_GT(inRates, 0u) << shown;
  EXPECT_GT(outRates, 0u) << shown;

  // Reported to the backend with an address of the server's pool.
  uint32_t ip = reportedTunnelIp();
  EXPECT_EQ(ip & 0xFFFFFF00, kUdp.network) << ipv4ToString(ip);
  EXPECT_EQ(missingInOrder(backendRequests(), {"{\"op\":\"ovpnConfig\"}", "{\"game\":101,\"op\":\"routeTable\"}"}),
            "");
  EXPECT_EQ(networkRecord(), connectedThenDisconnected(ip, kUdp));
  expectOpenVpnEnded("p");

  std::string log = debugLog();
  EXPECT_EQ(loggedStates(log), (Lines{"idle", "find", "tap", "admin", "cfg", "proc", "estab", "idle"})) << log;
  EXPECT_NE(log.find("Save Config: {\"serverPref\":\"Lab One\",\"gamePref\":\"Demo Racer\",\"modePref\":true,"
                     "\"accountPref\":\"u\"}\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(unfreedComObjects(log), Lines()) << log;
  // The credentials went out with the password masked in the log.
  EXPECT_NE(log.find("OVPN <- username \"Auth\" \"u\"\r\npassword \"Auth\" \"***\"\r\n"), std::string::npos) << log;
  EXPECT_NE(transcripts().find(",Initialization Sequence Com"), std::string::npos) << transcripts();
}

// How the installer reaches the client: the scheme of the URL "ovpnDownload"
// answers and the bytes the download server serves there.
struct InstallRoad {
  const char* name;
  bool https;
  const char* installer;  // a file of the build tree
  bool installs;
  // The signature check's log line; none is made over https.
  const char* signature;
};

const InstallRoad kInstallRoads[] = {
    {"Https", true, "tests/ovpn_standin_installer.exe", true, nullptr},
    // The same stand-in, signed at build time by the CA trusted here.
    {"HttpSignedByTrustedCa", false, "tests/installer-signature/signed.exe", true,
     "Installer signature: 0x00000000, chain 0x00000000"},
    {"HttpUnsigned", false, "tests/ovpn_standin_installer.exe", false, "Installer signature: 0x800B0100, no chain"},
};

void PrintTo(const InstallRoad& road, std::ostream* out) { *out << road.name; }

class ClientInstallTest : public ClientConnectTest, public testing::WithParamInterface<InstallRoad> {};

// No OpenVPN in the prefix: the user is asked and accepts, and the installer
// comes from the download server. Over https, or over plain http signed by a
// trusted CA, it installs the stand-in OpenVPN and the same attempt goes on to
// a tunnel; unsigned over plain http it never runs and the attempt ends.
TEST_P(ClientInstallTest, InstallsWhatTlsOrATrustedSignatureVouchesFor) {
  const InstallRoad& road = GetParam();
  // A refused installer ends the attempt before any OpenVPN would start.
  if (road.installs) {
    SKIP_UNLESS_REAL_SESSION(openSession(), why_);
  }
  HttpScenarios downloadServer;
  TrustedTestCa tlsCa(downloadServer);
  // Trusted on every road, so the unsigned installer's refusal is its own.
  MachineRootCertificate codeSigningCa(builtFile("tests/installer-signature/ca.der"));
  std::string installer = builtFile(road.installer);
  ASSERT_TRUE(writeWideFile(fromUtf8(served(kInstaller)), installer));
  std::string url = road.https ? "https://localhost:" + std::to_string(downloadServer.port("tls")) + "/" + kInstaller
                               : "http://127.0.0.1:" + std::to_string(kDownloadPort) + "/" + kInstaller;
  EXPECT_EQ(backend_.command("script {\"op\":\"ovpnDownload\",\"text\":" +
                             jsonText("{\"rst\":0,\"download\":" + jsonText(url) + "}") + "}"),
            "ok");
  // The installer's OpenVPN.exe is the stand-in, which finds the session's
  // port in its folder.
  std::wstring root = joinPath(folder_, L"installed");
  std::wstring bin = joinPath(root, L"OpenVPN\\bin");
  if (session_) placeFile(bin, L"bridge-port.txt", std::to_string(session_->port()) + "\n");
  std::wstring installerRecord = joinPath(folder_, L"installer-record.txt");
  SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_RECORD", installerRecord.c_str());
  SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_ROOT", root.c_str());
  SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_OPENVPN", builtPath("tests/ovpn_management_standin.exe").c_str());
  scriptBackend("u", "p");

  DWORD code = runClient(std::string(kLogin) + "answer-install:yes,main-steps:connect-0-0-0:" +
                         (road.installs ? "disconnect:" : "") + "logout");
  SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_RECORD", nullptr);
  SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_ROOT", nullptr);
  SetEnvironmentVariableW(L"ZAV_OVPN_STANDIN_OPENVPN", nullptr);
  EXPECT_EQ(code, 0u);
  Lines gui = guiRecord();
  expectCleanEnd(gui);
  EXPECT_EQ(missingInOrder(gui, {"GUI: connect 0 101 \"Demo Racer\" 0", "IOperationProgress::showStatus 90004",
                                 "IOperationProgress::ask 90000", "IOperationProgress::showStatus 90001",
                                 "IOperationProgress::showStatus 90002", "IOperationProgress::setDeterminate 1",
                                 "IOperationProgress::setProgress 0.000000",
                                 "IOperationProgress::setProgress 1.000000"}),
            "");
  EXPECT_EQ(startingWith(gui, "IOperationProgress::ask").size(), 1u);
  EXPECT_EQ(startingWith(downloads(), "GET /" + std::string(kInstaller)),
            Lines{"GET /" + std::string(kInstaller) + " 200"});
  std::string log = debugLog();
  Lines logged = {"OpenVPN installer: " + url, "OpenVPN installer SHA-256: " + sha256Hex(installer)};
  if (road.signature) logged.push_back(road.signature);
  if (!road.installs) {
    logged.push_back("OpenVPN installer refused: fetched without TLS and its signature does not verify");
  }
  EXPECT_EQ(missingInOrder(lines(log), logged), "") << log;
  if (!road.signature) {
    EXPECT_EQ(log.find("Installer signature:"), std::string::npos) << log;
  }
  EXPECT_EQ(unfreedComObjects(log), Lines()) << log;

  if (!road.installs) {
    // Refused at once: the bar's end is followed by the attempt's end.
    Lines progress;
    for (const std::string& line : startingWith(gui, "IOperationProgress::"))
      if (!startsWith(line, "IOperationProgress::Release ")) progress.push_back(line);
    auto end = std::find(progress.begin(), progress.end(), "IOperationProgress::setProgress 1.000000");
    ASSERT_NE(end, progress.end()) << testing::PrintToString(gui);
    EXPECT_EQ(Lines(end + 1, progress.end()), Lines{"IOperationProgress::endError 20002"})
        << testing::PrintToString(gui);
    EXPECT_EQ(missingInOrder(gui, {"IOperationProgress::endError 20002", "IMainView::connectEnded", "GUI: logout",
                                   "IMainView::backToLogin"}),
              "");
    EXPECT_FALSE(pathExists(installerRecord));
    EXPECT_FALSE(pathExists(bin));
    EXPECT_EQ(startingWith(backendRequests(), "{\"op\":\"ovpnConfig\"}"), Lines());
    EXPECT_FALSE(estabStatsSent());
    EXPECT_EQ(loggedStates(log), (Lines{"idle", "find", "miss", "idle"})) << log;
    return;
  }

  EXPECT_EQ(missingInOrder(gui, {"IOperationProgress::setProgress 1.000000", "IOperationProgress::showStatus 90003",
                                 "IOperationProgress::showStatus 90004", "IOperationProgress::setDeterminate 0",
                                 "IOperationProgress::endSuccess 0", "IMainView::connected", "GUI: disconnect",
                                 "IMainView::disconnected"}),
            "");
  EXPECT_EQ(startingWith(gui, "IOperationProgress::endError"), Lines());
  EXPECT_EQ(missingInOrder(backendRequests(), {"{\"is64\":" + std::string(isWow64() ? "true" : "false") +
                                                   ",\"op\":\"ovpnDownload\"}",
                                               "{\"op\":\"ovpnConfig\"}"}),
            "");
  EXPECT_TRUE(pathExists(installerRecord));
  EXPECT_TRUE(pathExists(joinPath(bin, L"OpenVPN.exe")));
  EXPECT_EQ(loggedStates(log),
            (Lines{"idle", "find", "miss", "inst", "find", "tap", "admin", "cfg", "proc", "estab", "idle"}))
      << log;
  uint32_t ip = reportedTunnelIp();
  EXPECT_EQ(ip & 0xFFFFFF00, kTcp.network) << ipv4ToString(ip);
  EXPECT_EQ(networkRecord(), connectedThenDisconnected(ip, kTcp));
  expectOpenVpnEnded("p");
}

INSTANTIATE_TEST_SUITE_P(Roads, ClientInstallTest, testing::ValuesIn(kInstallRoads),
                         [](const testing::TestParamInfo<InstallRoad>& info) { return info.param.name; });

// The server refuses the password; OpenVPN (no auth-retry) says so and ends,
// and so does the attempt, with the tunnel machine's status.
TEST_F(ClientConnectTest, WrongPasswordEndsTheAttemptWithTheTunnelsStatus) {
  SKIP_UNLESS_REAL_SESSION(openSession(), why_);
  ASSERT_TRUE(installOpenVpn());
  scriptBackend("u", "wrong");

  EXPECT_EQ(runClient(std::string(kLogin) + "main-steps:connect-0-0-1:logout"), 0u);
  Lines gui = guiRecord();
  expectCleanEnd(gui);
  EXPECT_EQ(missingInOrder(gui, {"GUI: connect 1 101 \"Demo Racer\" 0", "IOperationProgress::endError 20005",
                                 "IMainView::connectEnded", "GUI: logout", "IMainView::backToLogin"}),
            "");
  EXPECT_EQ(startingWith(gui, "IOperationProgress::end"), Lines{"IOperationProgress::endError 20005"});
  EXPECT_EQ(startingWith(gui, "IMainView::connected"), Lines());
  EXPECT_FALSE(estabStatsSent());
  EXPECT_EQ(networkRecord(), (Lines{"config made", "config destroyed"}));
  EXPECT_NE(transcripts().find(">PASSWORD:Verification Failed: 'Auth'\n"), std::string::npos) << transcripts();
  std::string log = debugLog();
  EXPECT_EQ(loggedStates(log), (Lines{"idle", "find", "tap", "admin", "cfg", "proc", "estab", "idle"})) << log;
  EXPECT_EQ(unfreedComObjects(log), Lines()) << log;
  expectOpenVpnEnded("wrong");
}

// The processes whose parent is pid, by image name, each opened to wait for.
std::vector<std::pair<std::string, HANDLE>> childrenOf(DWORD pid) {
  std::vector<std::pair<std::string, HANDLE>> children;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return children;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID != pid) continue;
    HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (child) children.emplace_back(toUtf8(entry.szExeFile), child);
  }
  CloseHandle(snapshot);
  return children;
}

// The prefix's own DNS setting of the loopback interface, which the tunnel
// test copy takes for both of the tunnel's interfaces.
class LoopbackNameServer {
 public:
  explicit LoopbackNameServer(const std::wstring& servers)
      : key_(L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + fromUtf8(loopbackGuid())) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | registryViewFlag(),
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (!key) return;
    EXPECT_EQ(RegSetValueExW(key, L"NameServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(servers.c_str()),
                             static_cast<DWORD>((servers.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  ~LoopbackNameServer() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_SET_VALUE | registryViewFlag(), &key) != ERROR_SUCCESS)
      return;
    RegDeleteValueW(key, L"NameServer");
    RegCloseKey(key);
  }

 private:
  std::wstring key_;
};

// A client ended from outside while the tunnel's DNS is set: nothing of its
// own teardown runs, its OpenVPN ends with it through the job, and only its
// next start sets DNS back, from the record it wrote before the change.
TEST_F(ClientConnectTest, AClientKilledWithTheTunnelsDnsSetIsSetBackAtItsNextStart) {
  SKIP_UNLESS_REAL_SESSION(openSession(), why_);
  ASSERT_TRUE(installOpenVpn());
  scriptBackend("u", "p");
  ASSERT_TRUE(installSystemTool(netshStandInPath(), L"netsh.exe"));
  const std::wstring netshRecord = joinPath(folder_, L"netsh-record.txt");
  SetEnvironmentVariableW(L"ZAV_NETSH_RECORD", netshRecord.c_str());
  LoopbackNameServer own(L"192.0.2.53");
  RegistryDnsRecord dnsRecord;
  ASSERT_TRUE(dnsRecord.remove());
  const std::string netsh = toUtf8(joinPath(system32Folder(), L"netsh.exe"));
  const std::string lo = std::to_string(loopbackIndex());
  const std::string set = netsh + " interface ipv4 set dns " + lo + " static 114.114.114.114";

  // Connected, and left so: no step after the connect.
  HANDLE client = startClient(std::string(kLogin) + "main-steps:connect-0-0-1");
  ASSERT_NE(client, nullptr);
  // The routes are written once the DNS change has returned, its netsh runs ended.
  for (int waited = 0; waited < 120000 && startingWith(networkRecord(), "write ").empty() &&
                       WaitForSingleObject(client, 0) == WAIT_TIMEOUT;
       waited += 100)
    Sleep(100);
  EXPECT_EQ(lines(fileOrNone(netshRecord)), (Lines{set, set})) << testing::PrintToString(guiRecord());
  std::string recorded;
  EXPECT_EQ(dnsRecord.read(recorded), DnsRecordStore::Read::found);
  EXPECT_EQ(recorded, "zav-dns 1\n" + lo + " " + loopbackGuid() + " static 192.0.2.53\n");

  std::vector<std::pair<std::string, HANDLE>> children = childrenOf(GetProcessId(client));
  Lines names;
  for (const auto& child : children) names.push_back(child.first);
  EXPECT_EQ(names, Lines{"OpenVPN.exe"});
  ASSERT_TRUE(TerminateProcess(client, 9));
  EXPECT_EQ(WaitForSingleObject(client, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(client);
  for (const auto& child : children) {
    EXPECT_EQ(WaitForSingleObject(child.second, 10000), static_cast<DWORD>(WAIT_OBJECT_0))
        << child.first << " outlived the client";
    CloseHandle(child.second);
  }
  expectOpenVpnEnded("p");
  // Nothing of the teardown ran: no flush, no configuration's end, DNS as
  // the tunnel set it, the record still there.
  Lines network = networkRecord();
  ASSERT_FALSE(network.empty());
  EXPECT_TRUE(startsWith(network.back(), "write ")) << testing::PrintToString(network);
  EXPECT_EQ(lines(fileOrNone(netshRecord)), (Lines{set, set}));
  EXPECT_EQ(dnsRecord.read(recorded), DnsRecordStore::Read::found);
  std::string log = debugLog();
  EXPECT_EQ(missingInOrder(lines(log), {"DNS: ok 1", "DNS: ok 2"}), "") << log;
  EXPECT_EQ(log.find("DNS: restore"), std::string::npos) << log;

  // The next start sets the interface back to its own setting before any
  // window opens, and removes the record.
  EXPECT_EQ(runClient("detach-on-state:1"), 0u);
  SetEnvironmentVariableW(L"ZAV_NETSH_RECORD", nullptr);
  EXPECT_EQ(lines(fileOrNone(netshRecord)),
            (Lines{set, set, netsh + " interface ipv4 set dns " + lo + " static 192.0.2.53"}));
  EXPECT_EQ(dnsRecord.read(recorded), DnsRecordStore::Read::none);
  log = debugLog();
  EXPECT_EQ(missingInOrder(lines(log), {"DNS: setting back what an earlier run left: 1", "DNS: restore " + lo + " ok"}),
            "")
      << log;
}

}  // namespace
