#include "netcfg/win/SystemNetsh.h"

#include "core/win/ChildProcess.h"
#include "core/win/System.h"

std::wstring SystemNetsh::netshPath() { return joinPath(system32Folder(), L"netsh.exe"); }

uint32_t SystemNetsh::run(const std::wstring& path, const std::wstring& commandLine) {
  return runAndWait(path, commandLine);
}
