#pragma once

#include <memory>

#include "netcfg/NetworkConfig.h"

// The host's own network configuration: IP Helper routes, netsh DNS with the
// settings kept from the registry, WMI metric.
std::unique_ptr<NetworkConfig> makeHostNetworkConfig();

// At start-up, once this is the only instance: sets DNS back where the record
// of an earlier run says it was left changed.
void restoreDnsLeftBehind();
