// The stand-in OpenVPN.exe started as the machine starts it (a Windows
// process on a --config file), with this test holding the client's
// management listener, through OvpnBridgeSession: scripted, and against the
// bridge's real OpenVPN (root only: the bridge's network namespace).
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/win/System.h"
#include "tests/support/openvpn/OvpnBridgeSession.h"
#include "tests/support/win/SocketBytes.h"

namespace {

const char kGuid[] = "{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}";

class Socket {
 public:
  explicit Socket(SOCKET sock = INVALID_SOCKET) : sock_(sock) {}
  ~Socket() {
    if (sock_ != INVALID_SOCKET) closesocket(sock_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return sock_; }
  void reset(SOCKET sock) {
    if (sock_ != INVALID_SOCKET) closesocket(sock_);
    sock_ = sock;
  }

 private:
  SOCKET sock_;
};

bool readable(SOCKET sock, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock, &set);
  timeval wait{ms / 1000, (ms % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &wait) > 0;
}

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener_.get(), 4), 0);
    wchar_t name[MAX_PATH];
    GetTempFileNameW(tempFolder().c_str(), L"ovb", 0, name);
    DeleteFileW(name);
    folder_ = name;
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
  }

  void TearDown() override {
    if (process_.hProcess) {
      TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, 10000);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    std::wstring bin = joinPath(folder_, L"bin");
    DeleteFileW(joinPath(bin, L"OpenVPN.exe").c_str());
    DeleteFileW(joinPath(bin, L"bridge-port.txt").c_str());
    RemoveDirectoryW(bin.c_str());
    DeleteFileW(joinPath(folder_, L"config.ovpn").c_str());
    RemoveDirectoryW(folder_.c_str());
    WSACleanup();
  }

  std::string clientLines(const std::string& proto) {
    return "remote 192.0.2.1 1194\nmanagement 127.0.0.1 " + std::to_string(localPortOf(listener_.get())) +
           "\nproto " + proto + "\ndev-node " + kGuid + "\n";
  }

  // The stand-in placed as bin\OpenVPN.exe and started on config.
  void start(const OvpnBridgeSession& session, const std::string& config) {
    std::wstring bin = joinPath(folder_, L"bin");
    ASSERT_TRUE(placeOpenVpnStandIn(bin, session.port()));
    std::wstring configPath = joinPath(folder_, L"config.ovpn");
    std::ofstream(configPath.c_str(), std::ios::binary) << config;
    std::wstring program = joinPath(bin, L"OpenVPN.exe");
    std::wstring commandLine = L"\"" + program + L"\" --config \"" + configPath + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process_));
  }

  void accept() {
    ASSERT_TRUE(readable(listener_.get(), 30000));
    connection_.reset(::accept(listener_.get(), nullptr, nullptr));
    ASSERT_NE(connection_.get(), INVALID_SOCKET);
  }

  DWORD exitCode(DWORD ms = 30000) {
    if (WaitForSingleObject(process_.hProcess, ms) != WAIT_OBJECT_0) return 0xffffffff;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

  // Lines without their CR LF until done(line) or the end of the stream.
  template <typename Done>
  std::vector<std::string> readLines(Done done, const std::string& onHold, const std::string& onPassword) {
    std::vector<std::string> lines;
    std::string pending;
    DWORD deadline = GetTickCount() + 40000;
    while (static_cast<long>(deadline - GetTickCount()) > 0 && readable(connection_.get(), 1000)) {
      char chunk[65536];
      int got = recv(connection_.get(), chunk, sizeof chunk, 0);
      if (got <= 0) break;
      pending.append(chunk, static_cast<size_t>(got));
      for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        lines.push_back(pending.substr(0, end));
        pending.erase(0, end + 2);
        const std::string& line = lines.back();
        if (line.compare(0, 6, ">HOLD:") == 0) send(connection_.get(), onHold.data(), int(onHold.size()), 0);
        if (line == ">PASSWORD:Need 'Auth' username/password")
          send(connection_.get(), onPassword.data(), int(onPassword.size()), 0);
        if (done(line)) return lines;
      }
    }
    return lines;
  }

  Socket listener_;
  Socket connection_;
  std::wstring folder_;
  PROCESS_INFORMATION process_{};
};

TEST_F(StandInTest, ScriptedRelayFromTheStandInsOwnProcess) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  auto session = OvpnBridgeSession::open(
      "script", "[{\"connect\": 1}, {\"send\": " + jsonBytes(all) + "}, {\"expect\": " + jsonBytes(all) +
                    "}, {\"exit\": 9}]");
  ASSERT_TRUE(session);
  std::string config = "verb 3\r\n" + clientLines("udp");
  start(*session, config);
  accept();
  // The client accepts only a connection of the process it started.
  EXPECT_EQ(connectionOwner(localPortOf(connection_.get()), peerPortOf(connection_.get())), process_.dwProcessId);
  std::string got;
  while (got.size() < all.size() && readable(connection_.get(), 10000)) {
    char chunk[512];
    int n = recv(connection_.get(), chunk, sizeof chunk, 0);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, all);
  send(connection_.get(), all.data(), static_cast<int>(all.size()), 0);
  EXPECT_EQ(exitCode(), 9u);
  OvpnBridgeRecord record = session->record(30000);
  ASSERT_TRUE(record.complete);
  EXPECT_TRUE(record.errors.empty()) << record.errors.front();
  EXPECT_EQ(record.pid, process_.dwProcessId);
  EXPECT_EQ(record.config, config);
  EXPECT_EQ(record.written[1], all);
}

TEST_F(StandInTest, RealOpenVpnReachesCompletion) {
  std::string why;
  auto session = OvpnBridgeSession::open("real", "{}", &why);
  SKIP_UNLESS_REAL_SESSION(session != nullptr, why);
  start(*session, session->serverText() + clientLines("udp"));
  accept();
  std::string hold = "echo on\r\nlog on\r\nbytecount 1\r\nhold release\r\n";
  std::string password = "username \"Auth\" \"u\"\r\npassword \"Auth\" \"p\"\r\n";
  bool completed = false;
  std::vector<std::string> lines = readLines(
      [&](const std::string& line) {
        completed = completed || line.find(",Initialization Sequence Completed") != std::string::npos;
        return completed && line.compare(0, 11, ">BYTECOUNT:") == 0;
      },
      hold, password);
  ASSERT_TRUE(completed);
  size_t done = 0;
  while (lines[done].find(",Initialization Sequence Completed") == std::string::npos) ++done;
  ASSERT_GT(done, 0u);
  EXPECT_NE(lines[done - 1].find(",Notified TAP-Windows driver to set a DHCP IP/netmask of 10.77.8."),
            std::string::npos)
      << lines[done - 1];
  EXPECT_NE(lines[done - 1].find(std::string(" on interface ") + kGuid + " [DHCP-serv: "), std::string::npos);
  connection_.reset(INVALID_SOCKET);
  EXPECT_EQ(exitCode(), 0u);
  OvpnBridgeRecord record = session->record(30000);
  ASSERT_TRUE(record.complete);
  EXPECT_EQ(record.written[1], hold + password);
}

}  // namespace
