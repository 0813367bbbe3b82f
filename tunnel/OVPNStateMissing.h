#pragma once

#include "tunnel/OVPNState.h"

// OpenVPN or TAP-Windows is missing: tells the owner and waits for the
// installer (or stop).
class OVPNStateMissing : public OVPNState {
 public:
  explicit OVPNStateMissing(OVPNThread& owner);
  void enter() override;
  void retry() override;
  void install(std::string installerData) override;
  const char* name() const override { return "miss"; }
};
