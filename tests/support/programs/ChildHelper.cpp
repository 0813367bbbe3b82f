// The child that tests start. Options run in order:
//   --record FILE      write this process's id to FILE (proof that it ran)
//   --sleep MS         sleep
//   --exit N           end with exit code N (unsigned)
//   --echo FILE ARG..  write every remaining argument to FILE, each ended by NUL
//   --spawn FILE       start a copy of itself that records into FILE and sleeps,
//                      wait for the record, then die abruptly with exit code 7
//   --folders FILE     write its TMP, TEMP and current folder to FILE
//                      (recordSeenFolders)
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/Text.h"
#include "core/QuoteArgument.h"
#include "core/win/ChildProcess.h"
#include "core/win/System.h"
#include "tests/support/win/SeenFolders.h"

namespace {

bool writeFile(const wchar_t* path, const std::string& bytes) {
  // Written under another name and renamed, so a reader never sees half of it.
  std::wstring part = std::wstring(path) + L".part";
  {
    std::ofstream out(part.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return false;
  }
  return MoveFileExW(part.c_str(), path, MOVEFILE_REPLACE_EXISTING) != 0;
}

int spawnAndDie(const wchar_t* recordFile) {
  std::wstring self = exePath();
  std::wstring line = quoteArgument(self) + L" --record " + quoteArgument(recordFile) + L" --sleep 60000";
  std::unique_ptr<ChildProcess> child = ChildProcess::create(self, line);
  if (!child) return 2;
  for (int i = 0; i < 300 && GetFileAttributesW(recordFile) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
  // No destructor runs: only the end of this process can close the job.
  child.release();
  TerminateProcess(GetCurrentProcess(), 7);
  return 3;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    std::wstring option = argv[i];
    bool hasValue = i + 1 < argc;
    if (option == L"--record" && hasValue) {
      if (!writeFile(argv[++i], std::to_string(GetCurrentProcessId()))) return 100;
    } else if (option == L"--sleep" && hasValue) {
      Sleep(static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10)));
    } else if (option == L"--exit" && hasValue) {
      return static_cast<int>(wcstoul(argv[++i], nullptr, 10));
    } else if (option == L"--echo" && hasValue) {
      const wchar_t* file = argv[++i];
      std::string text;
      for (++i; i < argc; ++i) {
        text += toUtf8(argv[i]);
        text.push_back('\0');
      }
      return writeFile(file, text) ? 0 : 100;
    } else if (option == L"--folders" && hasValue) {
      if (!recordSeenFolders(argv[++i])) return 100;
    } else if (option == L"--spawn" && hasValue) {
      return spawnAndDie(argv[++i]);
    } else {
      return 101;
    }
  }
  return 0;
}
