// Makes the demo run's prefix look like a machine the client has run on: an
// OpenVPN installation under FOLDER whose OpenVPN.exe is the stand-in that
// relays to the OpenVPN bridge (the demo backend tells it the session's port
// in bin\bridge-port.txt), TAP-Windows, and the client's own TAP adapter.
//   demo_tunnel_prefix.exe FOLDER
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>

#include "core/Text.h"
#include "core/win/System.h"
#include "tests/tunnel/TunnelTestSupport.h"
#include "tests/tunnel/TunnelWinFixtures.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: demo_tunnel_prefix FOLDER\n");
    return 2;
  }
  try {
    const std::wstring folder = argv[1];
    removeInstallationKeys();
    std::wstring bin = joinPath(folder, L"OpenVPN\\bin");
    placeFile(bin, L"bridge-port.txt", "0\n");
    std::wstring standIn = joinPath(parentFolder(exePath()), L"ovpn_management_standin.exe");
    if (!CopyFileW(standIn.c_str(), joinPath(bin, L"OpenVPN.exe").c_str(), FALSE)) {
      std::fprintf(stderr, "demo_tunnel_prefix: cannot copy %s\n", toUtf8(standIn).c_str());
      return 1;
    }
    setDefaultString(HKEY_LOCAL_MACHINE, kOpenVpnKey, joinPath(folder, L"OpenVPN"));
    placeFile(folder, L"TAP\\bin\\tapinstall.exe", pe32Program());
    setDefaultString(HKEY_LOCAL_MACHINE, kTapKey, joinPath(folder, L"TAP"));
    placeMarkedTapAdapter(fromUtf8(kAdapterGuidText));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demo_tunnel_prefix: %s\n", e.what());
    return 1;
  }
  return 0;
}
