#pragma once

#include "netcfg/Dns.h"

// netsh.exe of the Windows system folder, run with runAndWait.
class SystemNetsh : public NetshRunner {
 public:
  std::wstring netshPath() override;
  uint32_t run(const std::wstring& path, const std::wstring& commandLine) override;
};
