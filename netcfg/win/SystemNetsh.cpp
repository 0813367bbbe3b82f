#include "netcfg/win/SystemNetsh.h"

#include "core/win/ChildProcess.h"
#include "core/win/System.h"

std::wstring SystemNetsh::netshPath() { return joinPath(system32Folder(), L"netsh.exe"); }

uint32_t SystemNetsh::run(const std::wstring& path, const std::wstring& commandLine, uint32_t timeoutMs) {
  // INFINITE would never end.
  if (timeoutMs == INFINITE) --timeoutMs;
  try {
    return runAndWait(path, commandLine, nullptr, timeoutMs);
  } catch (const RunTimedOut&) {
    throw NetshTimeout();
  } catch (const RunNoExitCode&) {
    throw NetshNoExitCode();
  }
}
