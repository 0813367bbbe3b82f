#pragma once

// The tunnel's network configuration as the tunnel tests and the client's
// tunnel test copy record it: each call becomes an event, answered as the
// test's script says. The record is any shared object with add(std::string)
// that may be called from any thread.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "netcfg/NetText.h"
#include "netcfg/NetworkConfig.h"

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

  template <class Record>
  RecordingNetworkConfig(std::shared_ptr<Record> record, AdapterGuid ownAdapter, NetworkScript script = {})
      : add_([record](std::string event) { record->add(std::move(event)); }),
        ownAdapter_(ownAdapter),
        script_(script) {}
  // Where the host's configuration sets DNS back.
  ~RecordingNetworkConfig() override { add_("config destroyed"); }

  bool flushRouteTable(const VpnInterfaceInfo* record) override {
    add_("flush " + (record ? describeRecord(*record) : std::string("none")));
    return ++flushes_ != script_.failingFlush;
  }
  int setInterfaceMetric(const AdapterGuid& adapter) override {
    add_(adapter == ownAdapter_ ? "metric" : "metric of another adapter");
    return 0;
  }
  void setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record) override {
    add_("dns " + ipv4ToString(vpnGateway) + " " + describeRecord(record));
  }
  void restoreDns() override { add_("restoreDns"); }
  bool writeRouteTable(const std::vector<RouteEntry>& routes, uint32_t vpnGateway,
                       const VpnInterfaceInfo& record) override {
    std::string text = "write";
    for (const RouteEntry& route : routes)
      text += " " + ipv4ToString(route.destination) + "/" + ipv4ToString(route.mask) + (route.viaVpn ? " vpn" : " def");
    add_(text + " via " + ipv4ToString(vpnGateway) + " " + describeRecord(record));
    return !script_.writeFails;
  }
  uint32_t defaultGateway() override {
    add_("defaultGateway");
    if (script_.noDefaultRoute) throw std::runtime_error("no default route");
    return defaultGatewayAddress;
  }

 private:
  std::function<void(std::string)> add_;
  AdapterGuid ownAdapter_;
  NetworkScript script_;
  int flushes_ = 0;
};
