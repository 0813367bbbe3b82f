#pragma once

#include <string>

#include "tunnel/OVPNState.h"

// Prepares the client's own TAP adapter. This build has no adapter
// preparation: the state fails at once with "no own adapter found".
class OVPNStateTap : public OVPNState {
 public:
  OVPNStateTap(OVPNThread& owner, std::wstring programPath, std::wstring tapFolder);
  void enter() override;
  const char* name() const override { return "tap"; }

 private:
  void prepareAdapter();

  std::wstring programPath_;
  std::wstring tapFolder_;
};
