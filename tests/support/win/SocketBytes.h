#pragma once

// Blocking socket helpers of the Windows test peers; header-only, so the
// stand-in programs use them without the test library.
#include <winsock2.h>

#include <cstddef>
#include <cstdint>
#include <string>

inline bool sendAll(SOCKET sock, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    int sent = send(sock, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

// The socket's own IPv4 port, host order; 0 when it has none.
inline uint16_t localPortOf(SOCKET sock) {
  sockaddr_in address{};
  int size = sizeof address;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

// The connected peer's IPv4 port, host order; 0 when there is none.
inline uint16_t peerPortOf(SOCKET sock) {
  sockaddr_in address{};
  int size = sizeof address;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}
