#pragma once

#include <cstdint>
#include <vector>

#include "netcfg/ForwardTable.h"
#include "netcfg/RouteEntry.h"

// Deletes from one snapshot of the table every route through the record's
// default gateway except the default route, and every route from outside the
// tunnel subnet whose next hop lies inside it. True without a record; false
// only when the table can't be read (failed deletions are ignored).
bool flushRouteTable(ForwardTable& table, const VpnInterfaceInfo* record);

// Creates one row per route, each through the tunnel gateway (viaVpn) or the
// record's default gateway. A refused row is retried at rising metrics up to
// 0x4000 as an indirect, then a direct route; later routes start from the
// metric that last worked. False when a next hop has no interface or the
// metrics run out; rows already created stay.
bool writeRouteTable(ForwardTable& table, const std::vector<RouteEntry>& routes, uint32_t vpnGateway,
                     const VpnInterfaceInfo& record);

// The next hop (host order) of the default route with the lowest metric, the
// first listed among equals. std::runtime_error when the table can't be read
// or has no default route with a next hop.
uint32_t defaultGateway(ForwardTable& table);
