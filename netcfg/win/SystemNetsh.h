#pragma once

#include "netcfg/Dns.h"

// netsh.exe of the Windows system folder, run with runAndWait in the system's
// folders; a run still going at its time limit is ended with its job.
class SystemNetsh : public NetshRunner {
 public:
  std::wstring netshPath() override;
  uint32_t run(const std::wstring& path, const std::wstring& commandLine, uint32_t timeoutMs) override;
};
