#pragma once

// Included before anything that brings in windows.h.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>

// A blocking TCP client on loopback, from the test's own thread: OpenVPN
// connecting back, or some other local program.
class LoopbackClient {
 public:
#ifdef _WIN32
  using Socket = SOCKET;
  static constexpr Socket kNone = INVALID_SOCKET;
  static void closeSocket(Socket s) { closesocket(s); }
#else
  using Socket = int;
  static constexpr Socket kNone = -1;
  static void closeSocket(Socket s) { close(s); }
#endif

  LoopbackClient() {
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
  }
  ~LoopbackClient() {
    if (socket_ != kNone) closeSocket(socket_);
#ifdef _WIN32
    WSACleanup();
#endif
  }
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  // Bound first, so the local port is known before the server can see it.
  bool connectTo(uint16_t port) {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket_ == kNone) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
      return false;
    localPort_ = ntohs(local.sin_port);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    remote.sin_port = htons(port);
    return ::connect(socket_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
  }
  uint16_t localPort() const { return localPort_; }
  // True when the other side closed the connection within timeoutMs.
  bool closedByPeer(int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(static_cast<int>(socket_ + 1), &readable, nullptr, nullptr, &timeout) != 1) return false;
    char byte;
    return recv(socket_, &byte, 1, 0) <= 0;
  }

 private:
  Socket socket_ = kNone;
  std::atomic<uint16_t> localPort_{0};
};

// Whether anything accepts connections on the port now.
inline bool listening(uint16_t port) {
  LoopbackClient probe;
  return probe.connectTo(port);
}
