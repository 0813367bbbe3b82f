#include "netcfg/win/SystemNetsh.h"

#include "core/win/ChildProcess.h"
#include "core/win/System.h"

std::wstring SystemNetsh::netshPath() { return joinPath(system32Folder(), L"netsh.exe"); }

uint32_t SystemNetsh::run(const std::wstring& path, const std::wstring& commandLine, uint32_t timeoutMs) {
  // INFINITE would never end.
  if (timeoutMs == INFINITE) --timeoutMs;
  try {
    // A short system tool that unpacks nothing: the system's own folders serve.
    return runAndWait(path, commandLine, nullptr, timeoutMs, ChildFolders::system());
  } catch (const RunTimedOut&) {
    throw NetshTimeout();
  } catch (const RunNoExitCode&) {
    throw NetshNoExitCode();
  }
}
