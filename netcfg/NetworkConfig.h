#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "netcfg/Dns.h"
#include "netcfg/ForwardTable.h"
#include "netcfg/RouteEntry.h"

// A GUID's 16 bytes as it lies in memory.
using AdapterGuid = std::array<unsigned char, 16>;

// The IP connection metric of one adapter (WMI on Windows).
class InterfaceMetric {
 public:
  virtual ~InterfaceMetric() = default;
  // Gives the adapter metric 1; 0 on success, else the code of the step that
  // failed (1 to 18).
  virtual int setIpConnectionMetric(const AdapterGuid& adapter) = 0;
};

// One tunnel attempt's changes to the host's network configuration. Every
// call runs blocking on the tunnel worker thread; none throws except
// defaultGateway.
class NetworkConfig {
 public:
  // Sets DNS back where this attempt changed it and did not set it back yet.
  virtual ~NetworkConfig() = default;

  // Removes stale routes of this tunnel; true at once without a record, false
  // only when the forwarding table can't be read.
  virtual bool flushRouteTable(const VpnInterfaceInfo* record) = 0;
  // The own adapter's metric; 0 on success (the tunnel goes on either way).
  virtual int setInterfaceMetric(const AdapterGuid& adapter) = 0;
  // Both interfaces' DNS to the fixed resolver, their own settings kept.
  virtual void setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record) = 0;
  // Sets DNS back; for every ending of an attempt that may have called setDns.
  virtual void restoreDns() = 0;
  // False when a route could not be written (the caller flushes again).
  virtual bool writeRouteTable(const std::vector<RouteEntry>& routes, uint32_t vpnGateway,
                               const VpnInterfaceInfo& record) = 0;
  // The current default gateway (host order); std::runtime_error when there
  // is none or the table can't be read.
  virtual uint32_t defaultGateway() = 0;
};

// NetworkConfig over the platform seams it owns.
class HostNetworkConfig : public NetworkConfig {
 public:
  HostNetworkConfig(std::unique_ptr<ForwardTable> table, std::unique_ptr<InterfaceMetric> metric,
                    std::unique_ptr<NetshRunner> netsh, std::unique_ptr<DnsSettingsStore> dnsStore,
                    std::unique_ptr<DnsRecordStore> dnsRecord, DnsChangerSeams dnsSeams = {});

  bool flushRouteTable(const VpnInterfaceInfo* record) override;
  int setInterfaceMetric(const AdapterGuid& adapter) override;
  void setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record) override;
  void restoreDns() override;
  bool writeRouteTable(const std::vector<RouteEntry>& routes, uint32_t vpnGateway,
                       const VpnInterfaceInfo& record) override;
  uint32_t defaultGateway() override;

 private:
  std::unique_ptr<ForwardTable> table_;
  std::unique_ptr<InterfaceMetric> metric_;
  std::unique_ptr<NetshRunner> netsh_;
  std::unique_ptr<DnsSettingsStore> dnsStore_;
  std::unique_ptr<DnsRecordStore> dnsRecord_;
  // Last, so it sets DNS back while the seams above still exist.
  DnsChanger dns_;
};
