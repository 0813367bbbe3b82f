#include "netcfg/Dns.h"

#include <exception>

#include "core/DebugLog.h"
#include "core/QuoteArgument.h"
#include "core/Text.h"
#include "netcfg/NetText.h"

namespace {

const wchar_t fixedResolver[] = L"114.114.114.114";

std::wstring dnsCommand(const std::wstring& netshPath, const wchar_t* verb, uint32_t interfaceIndex,
                        const std::wstring& rest) {
  return quoteArgument(netshPath) + L" interface ipv4 " + verb + L" dns " + std::to_wstring(interfaceIndex) + L" " + rest;
}

}  // namespace

std::vector<std::string> parseNameServers(const std::string& text) {
  std::vector<std::string> servers;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(", ", start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    if (!item.empty()) {
      try {
        servers.push_back(ipv4ToString(parseIPv4(item)));
      } catch (const std::exception&) {
        // Only addresses go onto a command line.
      }
    }
    start = end + 1;
  }
  return servers;
}

DnsChanger::DnsChanger(ForwardTable& table, NetshRunner& netsh, DnsSettingsStore& store)
    : table_(table), netsh_(netsh), store_(store) {}

DnsChanger::~DnsChanger() { restore(); }

DnsChanger::Kept& DnsChanger::keep(uint32_t interfaceIndex) {
  for (Kept& kept : kept_) {
    if (kept.interfaceIndex == interfaceIndex) return kept;
  }
  kept_.push_back(Kept{interfaceIndex, store_.read(interfaceIndex), false});
  return kept_.back();
}

bool DnsChanger::run(const std::wstring& path, const std::wstring& commandLine, uint32_t& exitCode) {
  try {
    exitCode = netsh_.run(path, commandLine);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void DnsChanger::setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record) {
  uint32_t vpnIndex = 0;
  if (table_.bestInterface(toNetworkOrder(vpnGateway), vpnIndex) != winerror::noError) {
    writeDebugLog("DNS: GetBestInterface failed for VPN\n");
    return;
  }
  uint32_t defaultIndex = 0;
  if (table_.bestInterface(toNetworkOrder(record.defaultGateway), defaultIndex) != winerror::noError) {
    writeDebugLog("DNS: GetBestInterface failed for DEF\n");
    return;
  }
  std::wstring path;
  try {
    path = netsh_.netshPath();
  } catch (const std::exception&) {
    return;
  }
  const uint32_t indices[2] = {vpnIndex, defaultIndex};
  for (uint32_t index : indices) keep(index);
  for (int i = 0; i < 2; ++i) {
    uint32_t exitCode = 1;
    if (!run(path, dnsCommand(path, L"set", indices[i], std::wstring(L"static ") + fixedResolver), exitCode)) continue;
    keep(indices[i]).changed = true;
    if (exitCode == 0) writeDebugLog("DNS: ok " + std::to_string(i + 1) + "\n");
  }
}

void DnsChanger::restore() {
  std::vector<Kept> kept;
  kept.swap(kept_);
  bool anyChanged = false;
  for (const Kept& item : kept) anyChanged = anyChanged || item.changed;
  if (!anyChanged) return;
  std::wstring path;
  try {
    path = netsh_.netshPath();
  } catch (const std::exception&) {
    return;
  }
  for (const Kept& item : kept) {
    if (!item.changed) continue;
    const std::vector<std::string>& servers = item.setting.servers;
    std::vector<std::wstring> lines;
    if (servers.empty()) {
      lines.push_back(dnsCommand(path, L"set", item.interfaceIndex, L"dhcp"));
    } else {
      lines.push_back(dnsCommand(path, L"set", item.interfaceIndex, L"static " + fromUtf8(servers[0])));
      for (size_t i = 1; i < servers.size(); ++i) lines.push_back(dnsCommand(path, L"add", item.interfaceIndex, fromUtf8(servers[i])));
    }
    bool ok = true;
    for (const std::wstring& line : lines) {
      uint32_t exitCode = 1;
      ok = run(path, line, exitCode) && exitCode == 0 && ok;
    }
    writeDebugLog("DNS: restore " + std::to_string(item.interfaceIndex) + (ok ? " ok\n" : " failed\n"));
  }
}
