// The stand-in OpenVPN installer. Driven by its environment:
//   ZAV_OVPN_STANDIN_RECORD  file that gets its process id, its program path
//                            and its command line, one a line (UTF-8), first
//   ZAV_OVPN_STANDIN_SLEEP   milliseconds to wait next (a stop ends it there)
//   ZAV_OVPN_STANDIN_EXIT    exit code, 0 when unset; only 0 installs
//   ZAV_OVPN_STANDIN_ROOT    where to install: ROOT\OpenVPN, ROOT\TAP-Windows
//   ZAV_OVPN_STANDIN_SKIP    parts left out, comma-separated: openvpnKey,
//                            openvpnProgram, tapKey, tapProgram
//   ZAV_OVPN_STANDIN_OPENVPN the program installed as OpenVPN.exe (e.g. the
//                            stand-in OpenVPN of tests/support/openvpn)
// Installing is what the real installers leave: the default values of
// HKLM "SOFTWARE\OpenVPN" and "SOFTWARE\TAP-Windows" in the 64-bit view, and
// "bin\OpenVPN.exe" and "bin\tapinstall.exe" below them (copies of itself
// unless told otherwise).
#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/Text.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"

namespace {

std::wstring environment(const wchar_t* name) {
  wchar_t buffer[1024];
  DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
  return length > 0 && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

bool writeRecord(const std::wstring& path, const std::string& text) {
  // Written under another name and renamed, so a reader never sees half of it.
  std::wstring part = path + L".part";
  {
    std::ofstream out(part.c_str(), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) return false;
  }
  return MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool setDefault(const wchar_t* key, const std::wstring& folder) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &opened,
                      nullptr) != ERROR_SUCCESS)
    return false;
  WinKey handle(opened, winhandle::kNoCloseCode);
  return RegSetValueExW(handle.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                        DWORD((folder.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool placeProgram(const std::wstring& folder, const wchar_t* name, const std::wstring& program) {
  std::wstring bin = joinPath(folder, L"bin");
  SHCreateDirectoryExW(nullptr, bin.c_str(), nullptr);
  return CopyFileW(program.c_str(), joinPath(bin, name).c_str(), FALSE) != 0;
}

bool skipped(const std::wstring& skip, const std::wstring& part) {
  return (L"," + skip + L",").find(L"," + part + L",") != std::wstring::npos;
}

int install(const std::wstring& root, const std::wstring& skip) {
  std::wstring openVpn = joinPath(root, L"OpenVPN");
  std::wstring tap = joinPath(root, L"TAP-Windows");
  std::wstring openVpnProgram = environment(L"ZAV_OVPN_STANDIN_OPENVPN");
  if (openVpnProgram.empty()) openVpnProgram = exePath();
  if (!skipped(skip, L"openvpnProgram") && !placeProgram(openVpn, L"OpenVPN.exe", openVpnProgram)) return 102;
  if (!skipped(skip, L"tapProgram") && !placeProgram(tap, L"tapinstall.exe", exePath())) return 103;
  if (!skipped(skip, L"openvpnKey") && !setDefault(L"SOFTWARE\\OpenVPN", openVpn)) return 104;
  if (!skipped(skip, L"tapKey") && !setDefault(L"SOFTWARE\\TAP-Windows", tap)) return 105;
  return 0;
}

}  // namespace

int wmain() {
  std::wstring record = environment(L"ZAV_OVPN_STANDIN_RECORD");
  if (!record.empty()) {
    std::string text = std::to_string(GetCurrentProcessId()) + "\n" + toUtf8(exePath()) + "\n" +
                       toUtf8(GetCommandLineW()) + "\n";
    if (!writeRecord(record, text)) return 100;
  }
  std::wstring sleep = environment(L"ZAV_OVPN_STANDIN_SLEEP");
  if (!sleep.empty()) Sleep(static_cast<DWORD>(wcstoul(sleep.c_str(), nullptr, 10)));
  int code = static_cast<int>(wcstoul(environment(L"ZAV_OVPN_STANDIN_EXIT").c_str(), nullptr, 10));
  if (code != 0) return code;
  std::wstring root = environment(L"ZAV_OVPN_STANDIN_ROOT");
  if (root.empty()) return 101;
  return install(root, environment(L"ZAV_OVPN_STANDIN_SKIP"));
}
