#pragma once

// What the main controller does with a tunnel once it is up; both calls only
// post to the tunnel's own loop. The tunnel ends when its last holder lets go.
#include <string>

class EstablishedTunnel {
 public:
  virtual void stop() = 0;
  virtual void sendAuth(std::string user, std::string password) = 0;
  virtual ~EstablishedTunnel() = default;
};
