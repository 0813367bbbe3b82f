#include "tests/support/ConnBackend.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {

#ifdef _WIN32
using Socket = SOCKET;
void closeSocket(Socket s) { closesocket(s); }
struct WinsockStart {
  WinsockStart() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
#else
using Socket = int;
void closeSocket(Socket s) { close(s); }
#endif

Socket connectLoopback(int port) {
#ifdef _WIN32
  static WinsockStart started;
#endif
  Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<unsigned short>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<struct sockaddr*>(&peer), sizeof peer) != 0) {
    closeSocket(s);
    throw std::runtime_error("cannot reach the stand-in backend's control port");
  }
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return s;
}

}  // namespace

ConnBackend::ConnBackend() {
  const char* ports = std::getenv("ZAV_CONN_BACKEND");
  int controlPort = 0;
  if (ports) {
    std::istringstream in(ports);
    in >> controlPort >> channelPort_;
    socket_ = static_cast<intptr_t>(connectLoopback(controlPort));
  } else {
    startNative();
  }
  reset();
}

ConnBackend::~ConnBackend() {
  if (socket_ != -1) closeSocket(static_cast<Socket>(socket_));
}

void ConnBackend::startNative() {
#ifdef _WIN32
  throw std::runtime_error("run under tests/support/conn_backend.py --exec (ZAV_CONN_BACKEND is not set)");
#else
  // --serve lives until this, its first control connection, closes.
  const std::string command = "/usr/bin/python3 " ZAV_TEST_SUPPORT_DIR "/conn_backend.py --serve";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot start the stand-in backend");
  int controlPort = 0;
  if (std::fscanf(pipe, "%d %d", &controlPort, &channelPort_) != 2) {
    pclose(pipe);
    throw std::runtime_error("the stand-in backend did not start");
  }
  // The backend ends with this control connection, that is with this process.
  socket_ = connectLoopback(controlPort);
#endif
}

std::string ConnBackend::command(const std::string& line) {
  const std::string out = line + "\n";
  const auto s = static_cast<Socket>(socket_);
  size_t sent = 0;
  while (sent < out.size()) {
    int n = ::send(s, out.data() + sent, static_cast<int>(out.size() - sent), 0);
    if (n <= 0) throw std::runtime_error("stand-in backend control line lost");
    sent += static_cast<size_t>(n);
  }
  for (;;) {
    size_t end = buffered_.find('\n');
    if (end != std::string::npos) {
      std::string answer = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      if (answer.rfind("error", 0) == 0) throw std::runtime_error("stand-in backend: " + answer);
      return answer;
    }
    char piece[4096];
    int n = ::recv(s, piece, sizeof piece, 0);
    if (n <= 0) throw std::runtime_error("stand-in backend control line lost");
    buffered_.append(piece, static_cast<size_t>(n));
  }
}

void ConnBackend::onConnection(const std::string& action) { command("conn " + action); }

void ConnBackend::onRequest(const std::string& action) { command("req " + action); }

void ConnBackend::reset() { command("reset"); }

void ConnBackend::release() { command("release"); }

rapidjson::Document ConnBackend::stats() {
  rapidjson::Document doc;
  doc.Parse(command("stats").c_str());
  if (doc.HasParseError() || !doc.IsObject()) throw std::runtime_error("stand-in backend: bad stats");
  return doc;
}

int ConnBackend::deadPort() { return std::stoi(command("deadport")); }

std::string jsonText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

std::string backendScript(const std::string& op, const std::string& text, int delayMs, ScriptAnswer answer) {
  rapidjson::Document action(rapidjson::kObjectType);
  auto& allocator = action.GetAllocator();
  action.AddMember("op", rapidjson::Value(op.c_str(), allocator), allocator);
  if (answer == ScriptAnswer::close)
    action.AddMember("close", true, allocator);
  else
    action.AddMember("text", rapidjson::Value(text.c_str(), allocator), allocator);
  if (answer == ScriptAnswer::held) action.AddMember("hold", true, allocator);
  if (delayMs) action.AddMember("delayMs", delayMs, allocator);
  return jsonText(action);
}
