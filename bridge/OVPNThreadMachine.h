#pragma once

#include <memory>

#include "bridge/TunnelMachine.h"

class OVPNListener;
class OVPNSystem;

// The client's own tunnel machine: an OVPNThread over system. Its worker
// starts and idles here; the last holder's release stops it and joins it, so
// it must never be released on that worker (a listener only posts).
std::shared_ptr<TunnelMachine> makeOvpnTunnel(std::shared_ptr<OVPNListener> listener,
                                              std::shared_ptr<OVPNSystem> system);
