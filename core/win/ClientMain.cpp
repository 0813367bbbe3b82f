#include <windows.h>

#include "core/DebugLog.h"
#include "core/win/Logs.h"

namespace {
// Opens the debug log before WinMain runs.
const bool initDebugLog = (openDebugLog(), true);
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  (void)initDebugLog;
  writeDebugLog("client start\n");
  clearOldLogs();
  writeDebugLog("client end\n");
  return 0;
}
