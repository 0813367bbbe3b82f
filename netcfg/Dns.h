#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netcfg/ForwardTable.h"
#include "netcfg/RouteEntry.h"

// An interface's own DNS setting: static servers (dotted text, in order), or
// none, which means the servers come from DHCP.
struct DnsSetting {
  std::vector<std::string> servers;
};

// The static servers of a registry "NameServer" text (separated by commas or
// blanks); anything that is not a plain dotted IPv4 address is left out.
std::vector<std::string> parseNameServers(const std::string& text);

class DnsSettingsStore {
 public:
  virtual ~DnsSettingsStore() = default;
  // The setting of the interface with this index; DHCP when it has none of
  // its own or it can't be read.
  virtual DnsSetting read(uint32_t interfaceIndex) = 0;
};

// netsh.exe of the system folder, run to its end.
class NetshRunner {
 public:
  virtual ~NetshRunner() = default;
  // std::exception when the system folder can't be found.
  virtual std::wstring netshPath() = 0;
  // The exit code; std::exception when it can't be run.
  virtual uint32_t run(const std::wstring& path, const std::wstring& commandLine) = 0;
};

// Points DNS of the tunnel interface and the pre-tunnel default interface at
// one fixed resolver, and sets them back. Each interface's own setting is kept
// before its first change and until it has been set back, so a repeated
// change never takes the fixed resolver for the original.
class DnsChanger {
 public:
  DnsChanger(ForwardTable& table, NetshRunner& netsh, DnsSettingsStore& store);
  // Sets back what is still changed.
  ~DnsChanger();
  DnsChanger(const DnsChanger&) = delete;
  DnsChanger& operator=(const DnsChanger&) = delete;

  void setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record);
  // Sets every changed interface back to its kept setting; nothing when
  // nothing was changed since the last call.
  void restore();

 private:
  struct Kept {
    uint32_t interfaceIndex;
    DnsSetting setting;
    bool changed;
  };
  Kept& keep(uint32_t interfaceIndex);
  // Runs one command; false when it could not be run.
  bool run(const std::wstring& path, const std::wstring& commandLine, uint32_t& exitCode);

  ForwardTable& table_;
  NetshRunner& netsh_;
  DnsSettingsStore& store_;
  std::vector<Kept> kept_;
};
