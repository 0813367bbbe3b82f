#include "tests/support/win/ChildHelper.h"

#include <functional>

#include "core/QuoteArgument.h"
#include "core/win/System.h"
#include "tests/support/win/TestFolder.h"

namespace {

std::wstring besideTests(const wchar_t* name) { return joinPath(parentFolder(exePath()), name); }

}  // namespace

std::wstring childHelperPath() { return besideTests(L"child_helper.exe"); }

std::wstring protectToolPath() { return besideTests(L"protect_tool.exe"); }

std::wstring netshStandInPath() { return besideTests(L"netsh_standin.exe"); }

std::wstring ipconfigStandInPath() { return besideTests(L"ipconfig_standin.exe"); }

std::wstring ovpnStandInInstallerPath() { return besideTests(L"ovpn_standin_installer.exe"); }

namespace {

// Acts on the file in system32 and syswow64, unredirected; whether every
// action succeeded.
bool inSystemFolders(const std::wstring& fileName, const std::function<bool(const std::wstring& path)>& action) {
  wchar_t windows[MAX_PATH];
  UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  PVOID redirection = nullptr;
  const bool unredirected = Wow64DisableWow64FsRedirection(&redirection) != 0;
  bool done = true;
  for (const wchar_t* folder : {L"system32", L"syswow64"})
    done = action(joinPath(joinPath(windows, folder), fileName)) && done;
  if (unredirected) Wow64RevertWow64FsRedirection(redirection);
  return done;
}

}  // namespace

bool installSystemTool(const std::wstring& program, const std::wstring& fileName) {
  // 64-bit Wine runs its own built-in copy of a system32 tool unless the
  // prefix says to load the file itself.
  const wchar_t native[] = L"native";
  if (RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", fileName.c_str(), REG_SZ, native,
                      sizeof native) != ERROR_SUCCESS)
    return false;
  return inSystemFolders(fileName, [&program](const std::wstring& target) {
    return CopyFileW(program.c_str(), target.c_str(), FALSE) != 0;
  });
}

bool removeSystemTool(const std::wstring& fileName) {
  return inSystemFolders(fileName, [](const std::wstring& target) {
    return DeleteFileW(target.c_str()) || GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES;
  });
}

std::wstring childHelperCommand(const std::wstring& options) {
  return quoteArgument(childHelperPath()) + L" " + options;
}

bool waitForFile(const std::wstring& path, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(20);
  }
  return true;
}

DWORD recordedProcessId(const std::wstring& path) { return static_cast<DWORD>(std::stoul(readWideFile(path))); }

std::vector<std::string> echoedArguments(const std::wstring& path) {
  std::string text = readWideFile(path);
  std::vector<std::string> arguments;
  size_t start = 0;
  for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
    arguments.push_back(text.substr(start, end - start));
  return arguments;
}

bool processEnds(DWORD processId, DWORD timeoutMs) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (!process) return true;
  bool ended = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}
