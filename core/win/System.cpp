#include "core/win/System.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/DebugLog.h"
#include "core/FatalError.h"
#include "core/Text.h"
#include "core/win/LinkChecks.h"
#include "core/win/WinHandle.h"

std::wstring appDataFolder() {
  wchar_t buffer[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer) != S_OK) fatalError(105);
  return buffer;
}

std::wstring joinPath(const std::wstring& base, const std::wstring& more) {
  wchar_t buffer[MAX_PATH];
  if (base.size() + 1 > MAX_PATH) fatalError(106);
  wcscpy(buffer, base.c_str());
  if (!PathAppendW(buffer, more.c_str())) fatalError(107);
  return buffer;
}

std::wstring exePath() {
  wchar_t buffer[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  // A full buffer means the path was cut short.
  if (length == 0 || length >= MAX_PATH) fatalError(108);
  return std::wstring(buffer, length);
}

std::wstring parentFolder(const std::wstring& path) {
  wchar_t buffer[MAX_PATH];
  if (path.size() + 1 > MAX_PATH) fatalError(109);
  wcscpy(buffer, path.c_str());
  if (!PathRemoveFileSpecW(buffer)) fatalError(110);
  return buffer;
}

std::wstring tempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) fatalError(9);
  return std::wstring(buffer, length);
}

std::wstring system32Folder() {
  using DisableFn = BOOL(WINAPI*)(PVOID*);
  using RevertFn = BOOL(WINAPI*)(PVOID);
  HMODULE kernel = GetModuleHandleW(L"Kernel32");
  auto disable = reinterpret_cast<DisableFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
  auto revert = reinterpret_cast<RevertFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
  PVOID old = nullptr;
  bool switched = disable && revert && disable(&old);
  wchar_t buffer[MAX_PATH];
  HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, buffer);
  if (switched) revert(old);
  if (hr != S_OK) {
    writeDebugLog("find system32 failed.\n");
    throw std::runtime_error("find system32 failed");
  }
  return buffer;
}

void deleteTree(const std::wstring& path) {
  WinFile opened(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                 winhandle::kNoCloseCode);
  if (!opened) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    throw std::runtime_error("deleteTree: opening failed");
  }
  DWORD byPath = GetFileAttributesW(path.c_str());
  BY_HANDLE_FILE_INFORMATION information;
  bool linkItself = GetFileInformationByHandle(opened.get(), &information) &&
                    (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  if (!linkItself && byPath != INVALID_FILE_ATTRIBUTES &&
      ((byPath & FILE_ATTRIBUTE_REPARSE_POINT) || !isOpenedAt(opened.get(), path))) {
    // A link the open followed: what it points to is not ours, and where
    // links are followed so, a removal by name would follow it too.
    throw std::runtime_error("deleteTree: a link is left in place");
  }
  removeOpenedTree(std::move(opened), path);
}

bool isWow64() {
  using IsWow64Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
  auto query = reinterpret_cast<IsWow64Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "IsWow64Process")));
  if (!query) return false;
  BOOL wow64 = FALSE;
  if (!query(GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

REGSAM registryViewFlag() { return isWow64() ? KEY_WOW64_64KEY : 0; }

void trimAtNul(std::wstring& text) {
  size_t nul = text.find(L'\0');
  if (nul != std::wstring::npos) text.resize(nul);
}

bool readRegistryDefaultString(HKEY root, const std::wstring& subKey, std::wstring& out) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ | registryViewFlag(), &opened) != ERROR_SUCCESS) return false;
  WinKey key(opened, winhandle::kNoCloseCode);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ || size == 0) return false;
  // The value need not hold whole characters: the bytes go to storage of
  // their own, never into a string's terminator. The system may add a NUL
  // character behind a value it thinks unterminated (also behind a single
  // byte), so that room is there too.
  std::vector<BYTE> bytes(size + sizeof(wchar_t), 0);
  DWORD got = size;
  if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, bytes.data(), &got) != ERROR_SUCCESS || type != REG_SZ)
    return false;
  std::wstring text(std::min(got, size) / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
  trimAtNul(text);
  out = text;
  return true;
}

BSTR makeBstr(const std::wstring& text) {
  if (text.empty()) return nullptr;
  BSTR result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!result) throw ComError(E_OUTOFMEMORY);
  return result;
}

std::wstring fromBstr(BSTR text) {
  if (!text) return std::wstring();
  return std::wstring(text, SysStringLen(text));
}

std::string guidToString(const GUID& guid) {
  LPOLESTR text = nullptr;
  if (FAILED(StringFromIID(guid, &text))) fatalError(111);
  std::string result = toUtf8(text);
  CoTaskMemFree(text);
  return result;
}
