#pragma once

#include "tunnel/OVPNState.h"

// Nothing under way: start begins with "find"; stop does nothing.
class OVPNStateIdle : public OVPNState {
 public:
  explicit OVPNStateIdle(OVPNThread& owner) : OVPNState(owner) {}
  void start() override;
  void stop() override {}
  const char* name() const override { return "idle"; }
};
