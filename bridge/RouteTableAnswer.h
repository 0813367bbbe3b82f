#pragma once

// The route list a connect attempt hands to the tunnel, read from the
// "routeTable" answer.
#include <cstdint>
#include <vector>

#include "core/Json.h"
#include "netcfg/RouteEntry.h"

// First the server's own address (mask 255.255.255.255, through the gateway
// from before the tunnel, so the tunnel's traffic never enters itself), then
// one route per element of "routes" in order: "a" and "m" dotted IPv4 text,
// "n" a 32-bit integer, through the tunnel unless it is 0. Throws
// (std::logic_error for a missing or mistyped member, std::invalid_argument
// for an address that is not dotted IPv4, a mask that is not contiguous or a
// destination with bits outside its mask), so a caller never keeps part of
// the list.
std::vector<RouteEntry> readRouteTable(const rapidjson::Value& answer, uint32_t serverIp);
