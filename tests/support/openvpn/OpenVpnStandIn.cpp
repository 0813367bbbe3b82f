// The stand-in OpenVPN.exe of the tunnel tests. It reads its --config file at
// once, connects to the native bridge (bridge.py) whose loopback port is in
// "bridge-port.txt" beside this program, and from then on does what the bridge
// says, over one connection in frames of the form
//   <word> <number> <length>\n<length bytes>
// Stand-in to bridge: "pid <id> 0", "args 0 n" (its command line, UTF-8),
// "config 0 n" (the configuration file's bytes), then "connected c 0",
// "refused c 0", "data c n" (what the client wrote on connection c) and
// "closed c 0" (the client closed c, or it broke).
// Bridge to stand-in: "connect c 0" (connect to the config's management
// address from this process as connection c), "data c n" (write to c),
// "close c 0", "code x 0" (the exit code used when the bridge closes),
// "exit x 0" (exit now with x), "fail 0 0" (exit with kBridgeRefused).
// A management connection that breaks is reported, never ends the stand-in:
// only the bridge does, so a test decides what an exit looks like.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "core/Text.h"
#include "core/win/System.h"
#include "tests/support/openvpn/BridgeFrame.h"
#include "tests/support/win/SocketBytes.h"

namespace {

// Distinct from any exit code OpenVPN itself uses.
constexpr int kNoConfig = 90;
constexpr int kNoBridgePort = 91;
constexpr int kBridgeUnreachable = 92;
constexpr int kBridgeRefused = 93;
constexpr int kBridgeBroken = 94;
// The longest a stand-in lives: a test that forgets it never leaves it behind.
constexpr DWORD kLifetimeMs = 10 * 60 * 1000;

bool readFile(const std::wstring& path, std::string& bytes) {
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::wstring configPath() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  std::wstring path;
  for (int i = 1; args && i + 1 < count; ++i)
    if (std::wstring(args[i]) == L"--config") path = args[i + 1];
  LocalFree(args);
  return path;
}

// The port of "management 127.0.0.1 <port>", 0 when there is none.
unsigned short managementPort(const std::string& config) {
  std::istringstream lines(config);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string keyword, host;
    unsigned long port = 0;
    if (words >> keyword >> host >> port && keyword == "management" && host == "127.0.0.1" && port > 0 &&
        port < 65536)
      return static_cast<unsigned short>(port);
  }
  return 0;
}

SOCKET connectLoopback(unsigned short port) {
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == INVALID_SOCKET) return sock;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(sock);
    return INVALID_SOCKET;
  }
  BOOL on = TRUE;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return sock;
}

class StandIn {
 public:
  StandIn(SOCKET bridge, unsigned short managementPort) : bridge_(bridge), managementPort_(managementPort) {}

  int run() {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < kLifetimeMs) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(bridge_, &readable);
      for (auto& entry : connections_) FD_SET(entry.second, &readable);
      timeval wait{1, 0};
      if (select(0, &readable, nullptr, nullptr, &wait) == SOCKET_ERROR) return kBridgeBroken;
      if (FD_ISSET(bridge_, &readable)) {
        char chunk[65536];
        int got = recv(bridge_, chunk, sizeof chunk, 0);
        if (got <= 0) return exitCode_;
        input_.append(chunk, static_cast<size_t>(got));
        int result = handleFrames();
        if (result >= 0) return result;
      }
      for (auto it = connections_.begin(); it != connections_.end();) {
        if (!FD_ISSET(it->second, &readable)) {
          ++it;
          continue;
        }
        char chunk[65536];
        int got = recv(it->second, chunk, sizeof chunk, 0);
        if (got > 0) {
          if (!sendAll(bridge_, bridgeFrame("data", it->first, std::string(chunk, static_cast<size_t>(got)))))
            return kBridgeBroken;
          ++it;
          continue;
        }
        closesocket(it->second);
        if (!sendAll(bridge_, bridgeFrame("closed", it->first))) return kBridgeBroken;
        it = connections_.erase(it);
      }
    }
    return exitCode_;
  }

  ~StandIn() {
    for (auto& entry : connections_) closesocket(entry.second);
  }

 private:
  // An exit code once the bridge asks for the end, else -1.
  int handleFrames() {
    for (;;) {
      size_t end = input_.find('\n');
      if (end == std::string::npos) return input_.size() > 200 ? kBridgeBroken : -1;
      std::istringstream header(input_.substr(0, end));
      std::string word;
      unsigned long number = 0, length = 0;
      if (!(header >> word >> number >> length)) return kBridgeBroken;
      if (input_.size() < end + 1 + length) return -1;
      std::string payload = input_.substr(end + 1, length);
      input_.erase(0, end + 1 + length);
      if (word == "exit") return static_cast<int>(number);
      if (word == "fail") return kBridgeRefused;
      if (word == "code") {
        exitCode_ = static_cast<int>(number);
      } else if (word == "connect") {
        SOCKET sock = connectLoopback(managementPort_);
        if (sock == INVALID_SOCKET) {
          if (!sendAll(bridge_, bridgeFrame("refused", number))) return kBridgeBroken;
        } else {
          connections_[number] = sock;
          if (!sendAll(bridge_, bridgeFrame("connected", number))) return kBridgeBroken;
        }
      } else if (word == "data") {
        auto it = connections_.find(number);
        // A write to a connection the client closed is lost, as it would be.
        if (it != connections_.end()) sendAll(it->second, payload);
      } else if (word == "close") {
        auto it = connections_.find(number);
        if (it != connections_.end()) {
          shutdown(it->second, SD_BOTH);
          closesocket(it->second);
          connections_.erase(it);
        }
      } else {
        return kBridgeBroken;
      }
    }
  }

  SOCKET bridge_;
  unsigned short managementPort_;
  std::map<unsigned long, SOCKET> connections_;
  std::string input_;
  int exitCode_ = 0;
};

}  // namespace

int wmain() {
  std::string config;
  std::wstring path = configPath();
  if (path.empty() || !readFile(path, config)) return kNoConfig;

  std::wstring exe = exePath();
  std::wstring folder = exe.substr(0, exe.find_last_of(L"\\/"));
  std::string portText;
  if (!readFile(joinPath(folder, L"bridge-port.txt"), portText)) return kNoBridgePort;
  unsigned long bridgePort = std::strtoul(portText.c_str(), nullptr, 10);
  if (bridgePort == 0 || bridgePort > 65535) return kNoBridgePort;

  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return kBridgeUnreachable;
  SOCKET bridge = connectLoopback(static_cast<unsigned short>(bridgePort));
  if (bridge == INVALID_SOCKET) return kBridgeUnreachable;
  std::string hello = bridgeFrame("pid", GetCurrentProcessId()) +
                      bridgeFrame("args", 0, toUtf8(GetCommandLineW())) + bridgeFrame("config", 0, config);
  int code = kBridgeBroken;
  if (sendAll(bridge, hello)) {
    StandIn standIn(bridge, managementPort(config));
    code = standIn.run();
  }
  closesocket(bridge);
  WSACleanup();
  return code;
}
