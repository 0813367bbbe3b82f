#pragma once

#include <cstdint>

// One route of a game's route table, in host byte order.
struct RouteEntry {
  uint32_t destination = 0;
  uint32_t mask = 0;
  // 1: through the tunnel's gateway; 0: through the default gateway that was
  // in place before the tunnel.
  uint8_t viaVpn = 0;
};

// The own adapter's DHCP address and mask, and the default gateway taken when
// that address was reported (so the one from before the tunnel); host order.
struct VpnInterfaceInfo {
  uint32_t ip = 0;
  uint32_t mask = 0;
  uint32_t defaultGateway = 0;
};
