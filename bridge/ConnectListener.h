#pragma once

// What a connect operation tells the one that started it, on the main thread:
// exactly one of connected (the tunnel is up) or closed (the attempt ended
// without one).
#include <memory>

#include "bridge/EstablishedTunnel.h"
#include "bridge/RateMeter.h"
#include "tunnel/OVPNListener.h"

class ConnectListener {
 public:
  // Takes over the tunnel and both meters; the listener returned gets every
  // later event of this tunnel.
  virtual std::shared_ptr<OVPNListener> onConnected(std::shared_ptr<EstablishedTunnel> tunnel, RateMeter in,
                                                    RateMeter out) = 0;
  virtual void onConnectionClosed() = 0;
  virtual ~ConnectListener() = default;
};
