#include "tests/support/openvpn/OvpnBridgeSession.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/win/System.h"
#include "tests/support/openvpn/BridgeFrame.h"
#include "tests/support/win/SocketBytes.h"


std::unique_ptr<OvpnBridgeSession> OvpnBridgeSession::open(const std::string& kind, const std::string& json,
                                                            std::string* why) {
  std::string ignored;
  std::string& reason = why ? *why : ignored;
  const char* portText = std::getenv("ZAV_OVPN_BRIDGE");
  reason = "no bridge (ZAV_OVPN_BRIDGE is not set)";
  if (!portText) return nullptr;
  reason = "no Winsock";
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return nullptr;
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::strtoul(portText, nullptr, 10)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sock == INVALID_SOCKET || connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (sock != INVALID_SOCKET) closesocket(sock);
    WSACleanup();
    reason = "the bridge's control port does not answer";
    return nullptr;
  }
  std::unique_ptr<OvpnBridgeSession> session(new OvpnBridgeSession(sock));
  // Setting up a real session makes the namespace, the PKI and the servers.
  unsigned long deadline = GetTickCount() + 60000;
  std::string word, payload;
  unsigned long number = 0;
  if (!sendAll(sock, bridgeFrame(kind, 0, json)) || !session->readFrame(word, number, payload, deadline) ||
      word != "port") {
    reason = word == "error" ? payload : "no port from the bridge";
    return nullptr;
  }
  session->port_ = static_cast<uint16_t>(number);
  if (kind == "real") {
    if (!session->readFrame(word, number, payload, deadline) || word != "text") {
      reason = word == "error" ? payload : "no server text from the bridge";
      return nullptr;
    }
    session->serverText_ = payload;
  }
  reason.clear();
  return session;
}

void OvpnBridgeSession::standInGone() { sendAll(static_cast<SOCKET>(control_), bridgeFrame("gone", 0, "")); }

void OvpnBridgeSession::release() { sendAll(static_cast<SOCKET>(control_), bridgeFrame("release", 0, "")); }

OvpnBridgeSession::~OvpnBridgeSession() {
  closesocket(static_cast<SOCKET>(control_));
  WSACleanup();
}

bool OvpnBridgeSession::readFrame(std::string& word, unsigned long& number, std::string& payload,
                                  unsigned long deadline) {
  SOCKET sock = static_cast<SOCKET>(control_);
  for (;;) {
    size_t end = input_.find('\n');
    if (end != std::string::npos) {
      std::istringstream header(input_.substr(0, end));
      unsigned long length = 0;
      if (!(header >> word >> number >> length)) return false;
      if (input_.size() >= end + 1 + length) {
        payload = input_.substr(end + 1, length);
        input_.erase(0, end + 1 + length);
        return true;
      }
    }
    long left = static_cast<long>(deadline - GetTickCount());
    if (left <= 0) return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    timeval wait{left / 1000, (left % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return false;
    char chunk[65536];
    int got = recv(sock, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    input_.append(chunk, static_cast<size_t>(got));
  }
}

OvpnBridgeRecord OvpnBridgeSession::record(int timeoutMs) {
  OvpnBridgeRecord record;
  unsigned long deadline = GetTickCount() + static_cast<unsigned long>(timeoutMs);
  std::string word, payload;
  unsigned long number = 0;
  while (readFrame(word, number, payload, deadline)) {
    if (word == "end") {
      record.complete = true;
      break;
    }
    if (word == "pid") record.pid = number;
    if (word == "args") record.args = payload;
    if (word == "config") record.config = payload;
    if (word == "adapted") record.adapted = payload;
    if (word == "written") record.written[number] = payload;
    if (word == "event") record.events.push_back(payload);
    if (word == "error") record.errors.push_back(payload);
  }
  return record;
}

std::string jsonBytes(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char byte : bytes) {
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte >= 0x20 && byte < 0x7f) {
      out += static_cast<char>(byte);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    }
  }
  return out + "\"";
}

bool placeOpenVpnStandIn(const std::wstring& binFolder, uint16_t sessionPort) {
  std::wstring standIn = joinPath(parentFolder(exePath()), L"ovpn_management_standin.exe");
  CreateDirectoryW(binFolder.c_str(), nullptr);
  if (!CopyFileW(standIn.c_str(), joinPath(binFolder, L"OpenVPN.exe").c_str(), FALSE)) return false;
  std::ofstream out(joinPath(binFolder, L"bridge-port.txt").c_str(), std::ios::binary | std::ios::trunc);
  out << sessionPort << "\n";
  out.close();
  return static_cast<bool>(out);
}
