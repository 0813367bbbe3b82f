#pragma once

// The tunnel's real Windows system as the Wine tests run it, but for the one
// thing Wine does differently: Wine 8 names owner 0 for a loopback
// connection until its process has sent on it (till then only the
// wineserver holds the socket). So the real owner check is asked again for up
// to 2 s while the row names no owner; a connection whose row names another
// program is refused at once, as on Windows. Header-only: the client's tunnel
// test copy builds it without the test library.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/Text.h"
#include "tests/support/win/SocketBytes.h"
#include "tunnel/win/OVPNSystemWin.h"

class WineOvpnSystem : public OVPNSystemWin {
 public:
  using OVPNSystemWin::OVPNSystemWin;

  bool isConnectionOf(const OVPNProcess& process, uint16_t localPort, uint16_t peerPort) override {
    DWORD start = GetTickCount();
    for (int asked = 1;; ++asked) {
      if (OVPNSystemWin::isConnectionOf(process, localPort, peerPort)) {
        acceptedPid = process.processId();
        return true;
      }
      // Read after a refusal only (each read is slow under Wine): another
      // program the row names now was named to the check too; no owner, or
      // the process itself named in between, is asked again.
      DWORD owner = connectionOwner(localPort, peerPort);
      DWORD elapsed = GetTickCount() - start;
      if (elapsed > 2000 || (owner != 0 && owner != process.processId())) {
        std::lock_guard<std::mutex> lock(mutex_);
        refusals_ += "owner " + std::to_string(owner) + " of " + std::to_string(process.processId()) + " after " +
                     std::to_string(asked) + " asks, " + std::to_string(elapsed) + " ms; " + processList() + "\n";
        return false;
      }
      Sleep(20);
    }
  }

  std::atomic<uint32_t> acceptedPid{0};  // the process whose connection was taken
  // Each refusal with what the table said, for a failure's message.
  std::string refusals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusals_;
  }

 private:
  static std::string processList() {
    std::string list;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
      list += std::to_string(entry.th32ProcessID) + " " + toUtf8(entry.szExeFile) + ", ";
    CloseHandle(snapshot);
    return list;
  }

  std::mutex mutex_;
  std::string refusals_;
};
