#pragma once

#include <cstdint>

#include "core/Text.h"
#include "netcfg/RouteEntry.h"
#include "tests/netcfg/FakeForwardTable.h"

// The host the route and DNS tests picture: a LAN interface 192.168.1.20/24
// whose gateway before the tunnel was 192.168.1.1, and the tunnel's adapter
// with 10.8.0.6/24 behind the tunnel gateway 10.8.0.1.
namespace tunnelhost {

inline uint32_t ip(const char* text) { return parseIPv4(text); }

inline const VpnInterfaceInfo record{ip("10.8.0.6"), ip("255.255.255.0"), ip("192.168.1.1")};
inline const uint32_t vpnGateway = ip("10.8.0.1");
inline constexpr uint32_t lanIndex = 11;
inline constexpr uint32_t tapIndex = 22;

inline void addInterfaces(FakeForwardTable& table, uint32_t lanMinimumMetric = 1) {
  table.addInterface(lanIndex, ip("192.168.1.20"), ip("255.255.255.0"), lanMinimumMetric);
  table.addInterface(tapIndex, record.ip, record.mask);
}

}  // namespace tunnelhost
