// Stands in for the framework's offline installer. Its command line is fixed
// by the client, so the test steers it through the environment it inherits:
//   ZAV_STANDIN_RECORD  file to write: the command line, a line feed, then
//                       this program's own path (UTF-8)
//   ZAV_STANDIN_WAIT    name of an event to wait for (at most 60 s) first
//   ZAV_STANDIN_EXIT    exit code, decimal (default 0)
//   ZAV_FOLDERS_RECORD  its TMP, TEMP and current folder (SeenFolders.h)
#include <windows.h>

#include <cstdlib>
#include <string>

#include "core/Text.h"
#include "core/win/System.h"
#include "tests/support/win/SeenFolders.h"

namespace {

std::wstring environmentValue(const wchar_t* name) {
  wchar_t buffer[1024];
  DWORD length = GetEnvironmentVariableW(name, buffer, sizeof buffer / sizeof buffer[0]);
  if (length == 0 || length >= sizeof buffer / sizeof buffer[0]) return std::wstring();
  return std::wstring(buffer, length);
}

bool writeRecord(const std::wstring& path, const std::string& text) {
  // Written under another name and renamed, so a reader never sees half of it.
  std::wstring part = path + L".part";
  HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
  CloseHandle(file);
  return ok && MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int wmain() {
  if (!recordSeenFoldersIfAsked()) return 103;
  std::wstring record = environmentValue(L"ZAV_STANDIN_RECORD");
  if (!record.empty() && !writeRecord(record, toUtf8(GetCommandLineW()) + "\n" + toUtf8(exePath()))) return 100;
  std::wstring waitFor = environmentValue(L"ZAV_STANDIN_WAIT");
  if (!waitFor.empty()) {
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, waitFor.c_str());
    if (!event) return 101;
    DWORD result = WaitForSingleObject(event, 60000);
    CloseHandle(event);
    if (result != WAIT_OBJECT_0) return 102;
  }
  std::wstring exitCode = environmentValue(L"ZAV_STANDIN_EXIT");
  return exitCode.empty() ? 0 : int(wcstoul(exitCode.c_str(), nullptr, 10));
}
