#include "tests/support/win/SeenFolders.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "core/ComparablePath.h"
#include "core/Text.h"
#include "core/win/LinkChecks.h"

namespace {

// Empty when unset.
std::wstring variable(const wchar_t* name) {
  wchar_t value[1024];
  DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

bool isSet(const wchar_t* name) { return GetEnvironmentVariableW(name, nullptr, 0) != 0; }

bool sameFolder(const std::wstring& a, const std::wstring& b) {
  return samePath(comparablePath(a), comparablePath(b));
}

std::wstring currentFolder() {
  wchar_t folder[MAX_PATH];
  DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
  return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

}  // namespace

bool recordSeenFolders(const std::wstring& file) {
  std::string text;
  for (const std::wstring& line : {variable(L"TMP"), variable(L"TEMP"), currentFolder()}) text += toUtf8(line) + "\n";
  std::wstring part = file + L".part";
  {
    std::ofstream out(part.c_str(), std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) return false;
  }
  return MoveFileExW(part.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool recordSeenFoldersIfAsked() {
  std::wstring file = variable(L"ZAV_FOLDERS_RECORD");
  return file.empty() || recordSeenFolders(file);
}

SeenFolders readSeenFolders(const std::wstring& file) {
  std::ifstream in(file.c_str(), std::ios::binary);
  if (!in) throw std::runtime_error("no record of the folders: " + toUtf8(file));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::wstring lines[3];
  size_t start = 0;
  for (std::wstring& line : lines) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) throw std::runtime_error("a short record of the folders: " + text);
    line = fromUtf8(text.substr(start, end - start));
    start = end + 1;
  }
  return {lines[0], lines[1], lines[2]};
}

bool operator==(const SeenFolders& a, const SeenFolders& b) {
  return sameFolder(a.tmp, b.tmp) && sameFolder(a.temp, b.temp) && sameFolder(a.current, b.current);
}

void PrintTo(const SeenFolders& seen, std::ostream* out) {
  *out << "TMP=" << toUtf8(seen.tmp) << " TEMP=" << toUtf8(seen.temp) << " current=" << toUtf8(seen.current);
}

UserTempFolder::UserTempFolder(const std::wstring& folder)
    : tmp_{isSet(L"TMP"), variable(L"TMP")}, temp_{isSet(L"TEMP"), variable(L"TEMP")} {
  SetEnvironmentVariableW(L"TMP", folder.c_str());
  SetEnvironmentVariableW(L"TEMP", folder.c_str());
}

UserTempFolder::~UserTempFolder() {
  SetEnvironmentVariableW(L"TMP", tmp_.set ? tmp_.value.c_str() : nullptr);
  SetEnvironmentVariableW(L"TEMP", temp_.set ? temp_.value.c_str() : nullptr);
}
