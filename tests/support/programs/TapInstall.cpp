// Stands in for TAP-Windows' "bin\tapinstall.exe" (copied there by a test).
// It accepts only the client's command line,
//   "<its own path>" install "<TAP-Windows folder>\driver\OemVista.inf" tap0901
// with the INF present, and otherwise ends with exit code 90. What it does is
// told by the variable ZAV_TAPINSTALL:
//   add|SUBKEY|COMPONENTID|INSTANCEID  add that adapter subkey, exit 0
//   none                               add nothing, exit 0
//   exit|N                             add nothing, exit N
//   hang|FILE                          write its process id to FILE, then sleep
// and, first of all, ZAV_FOLDERS_RECORD: its TMP, TEMP and current folder.
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/QuoteArgument.h"
#include "core/win/System.h"
#include "tests/support/win/SeenFolders.h"
#include "tests/support/win/TapFixture.h"

namespace {

std::vector<std::wstring> fields(const std::wstring& text) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (size_t bar; (bar = text.find(L'|', start)) != std::wstring::npos; start = bar + 1)
    parts.push_back(text.substr(start, bar - start));
  parts.push_back(text.substr(start));
  return parts;
}

bool commandLineIsTheClients(int argc, wchar_t** argv) {
  std::wstring self = exePath();
  std::wstring inf = joinPath(parentFolder(parentFolder(self)), L"driver\\OemVista.inf");
  std::wstring expected = quoteArgument(self) + L" install " + quoteArgument(inf) + L" tap0901";
  return argc == 4 && std::wstring(argv[1]) == L"install" && inf == argv[2] && std::wstring(argv[3]) == L"tap0901" &&
         expected == GetCommandLineW() && GetFileAttributesW(inf.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (!commandLineIsTheClients(argc, argv)) return 90;
  if (!recordSeenFoldersIfAsked()) return 94;
  wchar_t told[1024];
  DWORD length = GetEnvironmentVariableW(L"ZAV_TAPINSTALL", told, 1024);
  if (length == 0 || length >= 1024) return 91;
  std::vector<std::wstring> order = fields(std::wstring(told, length));
  if (order[0] == L"none") return 0;
  if (order[0] == L"exit" && order.size() == 2) return static_cast<int>(wcstoul(order[1].c_str(), nullptr, 10));
  if (order[0] == L"add" && order.size() == 4) {
    try {
      writeInstalledAdapter(order[1], order[2], order[3]);
    } catch (const std::exception&) {
      return 92;
    }
    return 0;
  }
  if (order[0] == L"hang" && order.size() == 2) {
    // Written under another name and renamed, so a reader never sees half of it.
    std::wstring part = order[1] + L".part";
    {
      std::ofstream record(part.c_str(), std::ios::binary | std::ios::trunc);
      record << GetCurrentProcessId();
    }
    if (!MoveFileExW(part.c_str(), order[1].c_str(), MOVEFILE_REPLACE_EXISTING)) return 93;
    Sleep(120000);
    return 0;
  }
  return 91;
}
