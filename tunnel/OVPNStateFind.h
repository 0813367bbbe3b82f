#pragma once

#include <string>

#include "tunnel/OVPNState.h"

// Looks for the OpenVPN and TAP-Windows installations, in a task of its own:
// both found goes on to "tap", anything missing to "miss".
class OVPNStateFind : public OVPNState {
 public:
  explicit OVPNStateFind(OVPNThread& owner);
  void enter() override;
  const char* name() const override { return "find"; }

 private:
  void detect();

  std::wstring programPath_;  // "OpenVPN.exe" from the last attempt
  std::wstring tapFolder_;
};
