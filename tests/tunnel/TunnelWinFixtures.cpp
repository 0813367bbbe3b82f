#include "tests/tunnel/TunnelWinFixtures.h"

#include <shlobj.h>

#include <stdexcept>

#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "netcfg/win/TapAdapter.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/TestFolder.h"

const wchar_t kOpenVpnKey[] = L"SOFTWARE\\OpenVPN";
const wchar_t kTapKey[] = L"SOFTWARE\\TAP-Windows";

void setDefaultValue(HKEY root, const wchar_t* key, DWORD type, const void* data, DWORD size, REGSAM view) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE | view, nullptr, &opened, nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot create a test key");
  WinKey handle(opened, winhandle::kNoCloseCode);
  if (RegSetValueExW(handle.get(), nullptr, 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
    throw std::runtime_error("cannot set a test value");
}

void setDefaultString(HKEY root, const wchar_t* key, const std::wstring& text, REGSAM view) {
  setDefaultValue(root, key, REG_SZ, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)), view);
}

void removeInstallationKeys() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
    for (const wchar_t* key : {kOpenVpnKey, kTapKey})
      for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) RegDeleteKeyExW(root, key, view, 0);
}

namespace {

std::string readNotepad(const std::wstring& folder) { return readWideFile(joinPath(folder, L"notepad.exe")); }

}  // namespace

std::string pe32Program() {
  wchar_t folder[MAX_PATH];
  // The 32-bit system folder of a 64-bit Windows; a 32-bit one has only one.
  if (GetSystemWow64DirectoryW(folder, MAX_PATH) == 0) GetSystemDirectoryW(folder, MAX_PATH);
  return readNotepad(folder);
}

std::string pe64Program() {
  PVOID old = nullptr;
  BOOL switched = Wow64DisableWow64FsRedirection(&old);
  std::string bytes = readNotepad(system32Folder());
  if (switched) Wow64RevertWow64FsRedirection(old);
  return bytes;
}

std::string dosProgram() {
  std::string bytes(128, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  return bytes;
}

std::string win16Program() {
  std::string bytes(256, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = 0x40;  // the new header's offset
  bytes[0x40] = 'N';
  bytes[0x41] = 'E';
  bytes[0x40 + 0x36] = 2;  // target: Windows
  return bytes;
}

std::wstring makeTestFolder(const std::wstring& stem) {
  std::wstring folder = uniqueTempPath(stem);
  if (!CreateDirectoryW(folder.c_str(), nullptr)) throw std::runtime_error("cannot make a test folder");
  return folder;
}

void placeFile(const std::wstring& folder, const std::wstring& relativePath, const std::string& bytes) {
  std::wstring path = joinPath(folder, relativePath);
  SHCreateDirectoryExW(nullptr, parentFolder(path).c_str(), nullptr);
  if (!writeWideFile(path, bytes)) throw std::runtime_error("cannot write a test file");
}

bool pathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string transcriptsIn(const std::wstring& folder) {
  std::string text;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(joinPath(folder, L"*.txt").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return text;
  do text += readWideFile(joinPath(folder, found.cFileName));
  while (FindNextFileW(search, &found));
  FindClose(search);
  return text;
}

void placeMarkedTapAdapter(const std::wstring& guid) {
  deleteRegistryTree(adapterClassKey);
  writeInstalledAdapter(L"0000", L"tap0901", guid);
  setRegistryDword(std::wstring(adapterClassKey) + L"\\0000", L"IsKWEL", 1);
  deleteRegistryTree(tcpipLinkageKey);
  setRegistryValue(tcpipLinkageKey, L"Bind", REG_MULTI_SZ, bindValue({guid}));
  TapDeviceFolder().addDevice(guid);
}

MarkedTapAdapter::MarkedTapAdapter(const std::wstring& guid) { placeMarkedTapAdapter(guid); }

MarkedTapAdapter::~MarkedTapAdapter() {
  deleteRegistryTree(adapterClassKey);
  deleteRegistryTree(tcpipLinkageKey);
  devices_.clear();
}
