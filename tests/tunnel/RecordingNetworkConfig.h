#pragma once

// The tunnel's network configuration as the tunnel tests record it: each call
// becomes an event, answered as the test's script says.
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "netcfg/NetText.h"
#include "netcfg/NetworkConfig.h"
#include "tests/tunnel/TunnelTestSupport.h"

// What the network configuration is told to do, set before an attempt.
struct NetworkScript {
  bool noDefaultRoute = false;
  int failingFlush = 0;  // the 1-based flush call that fails; 0: none
  bool writeFails = false;
};

inline std::string describeRecord(const VpnInterfaceInfo& record) {
  return ipv4ToString(record.ip) + "/" + ipv4ToString(record.mask) + " def " + ipv4ToString(record.defaultGateway);
}

class RecordingNetworkConfig : public NetworkConfig {
 public:
  static constexpr uint32_t defaultGatewayAddress = 0xC0A80101;  // 192.168.1.1

  RecordingNetworkConfig(std::shared_ptr<EventRecord> record, AdapterGuid ownAdapter, NetworkScript script = {})
      : record_(std::move(record)), ownAdapter_(ownAdapter), script_(script) {}
  ~RecordingNetworkConfig() override { record_->add("config destroyed"); }

  bool flushRouteTable(const VpnInterfaceInfo* record) override {
    record_->add("flush " + (record ? describeRecord(*record) : std::string("none")));
    return ++flushes_ != script_.failingFlush;
  }
  int setInterfaceMetric(const AdapterGuid& adapter) override {
    record_->add(adapter == ownAdapter_ ? "metric" : "metric of another adapter");
    return 0;
  }
  void setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record) override {
    record_->add("dns " + ipv4ToString(vpnGateway) + " " + describeRecord(record));
  }
  void restoreDns() override { record_->add("restoreDns"); }
  bool writeRouteTable(const std::vector<RouteEntry>& routes, uint32_t vpnGateway,
                       const VpnInterfaceInfo& record) override {
    std::string text = "write";
    for (const RouteEntry& route : routes)
      text += " " + ipv4ToString(route.destination) + "/" + ipv4ToString(route.mask) + (route.viaVpn ? " vpn" : " def");
    record_->add(text + " via " + ipv4ToString(vpnGateway) + " " + describeRecord(record));
    return !script_.writeFails;
  }
  uint32_t defaultGateway() override {
    record_->add("defaultGateway");
    if (script_.noDefaultRoute) throw std::runtime_error("no default route");
    return defaultGatewayAddress;
  }

 private:
  std::shared_ptr<EventRecord> record_;
  AdapterGuid ownAdapter_;
  NetworkScript script_;
  int flushes_ = 0;
};
