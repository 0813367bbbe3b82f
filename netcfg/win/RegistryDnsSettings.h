#pragma once

#include <string>

#include "netcfg/Dns.h"

// An interface's static DNS servers: the "NameServer" value of its key (named
// by the interface GUID) under the TCP/IP interfaces key of HKLM.
class RegistryDnsSettings : public DnsSettingsStore {
 public:
  explicit RegistryDnsSettings(
      std::wstring interfacesKey = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces");
  DnsSetting read(uint32_t interfaceIndex) override;
  std::string identity(uint32_t interfaceIndex) override;
  bool currentIndex(const std::string& identity, uint32_t& interfaceIndex) override;

 private:
  std::wstring interfacesKey_;
};
