#include "netcfg/NetworkConfig.h"

#include <utility>

#include "netcfg/Routes.h"

HostNetworkConfig::HostNetworkConfig(std::unique_ptr<ForwardTable> table, std::unique_ptr<InterfaceMetric> metric,
                                     std::unique_ptr<NetshRunner> netsh, std::unique_ptr<DnsSettingsStore> dnsStore,
                                     std::unique_ptr<DnsRecordStore> dnsRecord, DnsChangerSeams dnsSeams)
    : table_(std::move(table)),
      metric_(std::move(metric)),
      netsh_(std::move(netsh)),
      dnsStore_(std::move(dnsStore)),
      dnsRecord_(std::move(dnsRecord)),
      dns_(*table_, *netsh_, *dnsStore_, *dnsRecord_, std::move(dnsSeams)) {}

bool HostNetworkConfig::flushRouteTable(const VpnInterfaceInfo* record) { return ::flushRouteTable(*table_, record); }

int HostNetworkConfig::setInterfaceMetric(const AdapterGuid& adapter) { return metric_->setIpConnectionMetric(adapter); }

void HostNetworkConfig::setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record) { dns_.setDns(vpnGateway, record); }

void HostNetworkConfig::restoreDns() { dns_.restore(); }

bool HostNetworkConfig::writeRouteTable(const std::vector<RouteEntry>& routes, uint32_t vpnGateway,
                                        const VpnInterfaceInfo& record) {
  return ::writeRouteTable(*table_, routes, vpnGateway, record);
}

uint32_t HostNetworkConfig::defaultGateway() { return ::defaultGateway(*table_); }
