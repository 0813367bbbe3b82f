#include "core/win/Logs.h"

#include <share.h>
#include <windows.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <vector>

#include "BuildConfig.h"
#include "core/DebugLog.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"

std::wstring logsFolder() {
  std::wstring folder = joinPath(parentFolder(exePath()), L"logs");
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

void openDebugLog() {
  std::wstring path = joinPath(logsFolder(), L"debug.dat");
  DeleteFileW(path.c_str());
  // Write sharing denied: a second instance can neither truncate nor overwrite
  // this log (_wfopen_s takes no share lock under this runtime).
  FILE* file = _wfsopen(path.c_str(), L"wb", _SH_DENYWR);
  if (!file) return;
  startDebugLog(file, buildconfig::logKeyPem);
}

void clearOldLogs() { clearOldLogsIn(logsFolder(), _time64(nullptr)); }

void clearOldLogsIn(const std::wstring& folder, int64_t now) {
  WIN32_FIND_DATAW found;
  WinFind find(FindFirstFileW(joinPath(folder, L"*").c_str(), &found), winhandle::kNoCloseCode);
  if (!find) {
    writeDebugLog("clearOldLogs failed :301\n");
    return;
  }
  std::vector<std::wstring> names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &found));
  find.reset();

  static const std::wregex transcript(L"^(\\d{4})(\\d{2})(\\d{2})(\\d{2})(\\d{2})(\\d{2})\\.txt$");
  for (const std::wstring& name : names) {
    try {
      std::wsmatch m;
      if (!std::regex_match(name, m, transcript)) continue;
      std::tm written = {};
      written.tm_year = std::stoi(m[1].str()) - 1900;
      written.tm_mon = std::stoi(m[2].str()) - 1;
      written.tm_mday = std::stoi(m[3].str());
      written.tm_hour = std::stoi(m[4].str());
      written.tm_min = std::stoi(m[5].str());
      written.tm_sec = std::stoi(m[6].str());
      // Let the runtime decide on summer time: a fixed 0 would date a fresh
      // transcript an hour ahead in summer and delete it as "from the future".
      written.tm_isdst = -1;
      __time64_t fileTime = _mktime64(&written);
      if (fileTime == -1) continue;
      double diff = static_cast<double>(now - fileTime) / 604800.0;
      std::ostringstream line;
      line << "log " << toUtf8(name) << ", diff=" << diff << "\n";
      writeDebugLog(line.str());
      if (diff < 0 || diff > 1.0) DeleteFileW(joinPath(folder, name).c_str());
    } catch (...) {
      continue;
    }
  }
}
