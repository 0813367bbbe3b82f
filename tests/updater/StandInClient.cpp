// Stands in for the client program in updater tests: notes each start (its
// argument count and command line) in "starts.txt" beside itself; with the
// argument "wait" it then waits to be ended, like a client that handed over,
// and so it does when a file "hold" lies beside it (whatever its arguments).
// With ZAV_FOLDERS_RECORD it first records its TMP, TEMP and current folder
// there (SeenFolders.h): what the updater that started it was given.
#include <windows.h>

#include <string>

#include "tests/support/win/SeenFolders.h"

int wmain(int argc, wchar_t** argv) {
  if (!recordSeenFoldersIfAsked()) return 3;
  wchar_t self[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder(self, length);
  folder.resize(folder.find_last_of(L'\\'));
  std::wstring line = std::to_wstring(argc) + L"|" + GetCommandLineW() + L"\n";
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr, nullptr);
  HANDLE log = CreateFileW((folder + L"\\starts.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  WriteFile(log, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(log);
  bool hold = GetFileAttributesW((folder + L"\\hold").c_str()) != INVALID_FILE_ATTRIBUTES;
  if (hold || (argc > 1 && std::wstring(argv[1]) == L"wait"))
    for (;;) Sleep(INFINITE);
  return 0;
}
