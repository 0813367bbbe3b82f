#pragma once

// Blocking socket helpers of the Windows test peers; header-only, so the
// stand-in programs use them without the test library.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// The owner of the loopback connection peerPort -> localPort as the system's
// TCP table names it; 0 when unknown or not (yet) known. Read apart from the
// client's own check, to see what it saw.
inline DWORD connectionOwner(uint16_t localPort, uint16_t peerPort) {
  // Sized for one read, as each is slow under Wine: a size query costs a
  // whole read.
  std::vector<char> buffer(256 * 1024);
  ULONG size = static_cast<ULONG>(buffer.size());
  DWORD result = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
  if (result == ERROR_INSUFFICIENT_BUFFER) {
    buffer.resize(size + 4096);
    size = static_cast<ULONG>(buffer.size());
    result = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
  }
  if (result != NO_ERROR) return 0;
  auto* table = reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    if (ntohs(static_cast<u_short>(row.dwLocalPort)) == peerPort &&
        ntohs(static_cast<u_short>(row.dwRemotePort)) == localPort)
      return row.dwOwningPid;
  }
  return 0;
}
