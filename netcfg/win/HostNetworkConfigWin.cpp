#include "netcfg/win/HostNetworkConfigWin.h"

#include "netcfg/win/IpHelperForwardTable.h"
#include "netcfg/win/RegistryDnsRecord.h"
#include "netcfg/win/RegistryDnsSettings.h"
#include "netcfg/win/SystemNetsh.h"
#include "netcfg/win/WmiInterfaceMetric.h"

std::unique_ptr<NetworkConfig> makeHostNetworkConfig() {
  return std::make_unique<HostNetworkConfig>(std::make_unique<IpHelperForwardTable>(),
                                             std::make_unique<WmiInterfaceMetric>(), std::make_unique<SystemNetsh>(),
                                             std::make_unique<RegistryDnsSettings>(),
                                             std::make_unique<RegistryDnsRecord>());
}

void restoreDnsLeftBehind() {
  IpHelperForwardTable table;
  SystemNetsh netsh;
  RegistryDnsSettings settings;
  RegistryDnsRecord record;
  DnsChanger dns(table, netsh, settings, record);
  dns.restoreFromRecord();
}
