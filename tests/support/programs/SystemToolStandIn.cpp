#include "tests/support/programs/SystemToolStandIn.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/Text.h"
#include "tests/support/win/SeenFolders.h"

namespace {

std::wstring environment(const wchar_t* name) {
  wchar_t value[1024];
  DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

// Lines of the file, or only those that begin with prefix.
size_t recordedLines(const std::wstring& path, const std::string& prefix = "") {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  size_t lines = 0;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines += text.compare(start, prefix.size(), prefix) == 0;
  return lines;
}

// One write with append access: lines of runs that overlap never mix.
bool appendLine(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string line = text + "\n";
  DWORD written = 0;
  bool whole =
      WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size();
  return CloseHandle(file) && whole;
}

unsigned long exitCodeFor(size_t call, const std::wstring& list) {
  std::vector<unsigned long> codes;
  for (const wchar_t* p = list.c_str(); *p;) {
    wchar_t* end = nullptr;
    codes.push_back(wcstoul(p, &end, 10));
    p = *end == L',' ? end + 1 : end;
    if (end == p && *p) break;
  }
  if (codes.empty()) return 0;
  return codes[call < codes.size() ? call : codes.size() - 1];
}

}  // namespace

int runSystemToolStandIn(const wchar_t* recordVariable, const wchar_t* exitVariable) {
  if (!recordSeenFoldersIfAsked()) return 104;
  const std::string commandLine = toUtf8(GetCommandLineW());
  const std::wstring record = environment(recordVariable);
  size_t call = 0;
  if (!record.empty()) {
    call = recordedLines(record);
    if (!appendLine(record, commandLine)) return 100;
  }
  const std::wstring runs = environment(L"ZAV_TOOL_RUNS");
  size_t run = 0;
  if (!runs.empty()) {
    run = recordedLines(runs, "start ");
    if (!appendLine(runs, "start " + commandLine)) return 102;
  }
  Sleep(wcstoul(environment(L"ZAV_TOOL_SLEEP_MS").c_str(), nullptr, 10));
  std::wstring hold = environment(L"ZAV_TOOL_HOLD");
  if (!hold.empty()) hold += std::to_wstring(run);
  for (int waited = 0; !hold.empty() && waited < 20000 && GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES;
       waited += 10)
    Sleep(10);
  if (!runs.empty() && !appendLine(runs, "end " + commandLine)) return 103;
  return static_cast<int>(exitCodeFor(call, environment(exitVariable)));
}
