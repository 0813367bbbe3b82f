// Stands in for the system's netsh.exe: appends its whole command line (UTF-8,
// one line) to the file named by ZAV_NETSH_RECORD and ends with the exit code
// that ZAV_NETSH_EXIT gives for this call: a comma-separated list, one code
// per recorded call, its last code for every later call (none: 0).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Text.h"

namespace {

std::wstring environment(const wchar_t* name) {
  wchar_t value[1024];
  DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

size_t recordedLines(const std::wstring& record) {
  FILE* in = _wfopen(record.c_str(), L"rb");
  if (!in) return 0;
  size_t lines = 0;
  for (int c; (c = fgetc(in)) != EOF;) lines += c == '\n';
  fclose(in);
  return lines;
}

}  // namespace

int wmain() {
  const std::wstring record = environment(L"ZAV_NETSH_RECORD");
  size_t call = 0;
  if (!record.empty()) {
    call = recordedLines(record);
    FILE* out = _wfopen(record.c_str(), L"ab");
    if (!out) return 100;
    const std::string line = toUtf8(GetCommandLineW()) + "\n";
    const bool written = fwrite(line.data(), 1, line.size(), out) == line.size();
    if (fclose(out) != 0 || !written) return 101;
  }
  std::vector<unsigned long> codes;
  const std::wstring list = environment(L"ZAV_NETSH_EXIT");
  for (const wchar_t* p = list.c_str(); *p;) {
    wchar_t* end = nullptr;
    codes.push_back(wcstoul(p, &end, 10));
    p = *end == L',' ? end + 1 : end;
    if (end == p && *p) break;
  }
  if (codes.empty()) return 0;
  return static_cast<int>(codes[call < codes.size() ? call : codes.size() - 1]);
}
