#pragma once

// One connect attempt's tunnel machine as the connect operation drives it:
// every call only posts to the machine's own thread, which reports back
// through the OVPNListener it was made with. Once the tunnel is up the
// operation hands it on to the main controller as an EstablishedTunnel.
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/EstablishedTunnel.h"
#include "netcfg/RouteEntry.h"

class TunnelMachine : public EstablishedTunnel {
 public:
  virtual void start() = 0;
  // The downloaded OpenVPN installer, whole.
  virtual void install(std::string installerData) = 0;
  // The server's configuration text, its IPv4 address as dotted text, the
  // protocol, its port and the route list.
  virtual void connect(std::string config, std::string host, bool udp, uint16_t port,
                       std::vector<RouteEntry> routes) = 0;
};
