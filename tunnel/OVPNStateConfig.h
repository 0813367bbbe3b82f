#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "netcfg/NetworkConfig.h"
#include "tunnel/OVPNState.h"

class ManagementListener;

// Asks the owner for the server's configuration (needConfig) and waits for
// connect, which writes OpenVPN's configuration file and goes on to "proc";
// status 20016 when the file can't be written. A management connection
// that arrives meanwhile is closed by the listener's default handler.
class OVPNStateConfig : public OVPNState {
 public:
  OVPNStateConfig(OVPNThread& owner, std::wstring programPath, AdapterGuid adapterGuid,
                  std::unique_ptr<ManagementListener> listener);
  ~OVPNStateConfig() override;
  void enter() override;
  void connect(std::string config, std::string host, bool udp, uint16_t port, std::vector<RouteEntry> routes) override;
  const char* name() const override { return "cfg"; }

 private:
  std::wstring programPath_;
  AdapterGuid adapterGuid_;
  std::unique_ptr<ManagementListener> listener_;  // until handed to "proc"
};
