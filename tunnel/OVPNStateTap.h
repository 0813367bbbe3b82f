#pragma once

#include <string>

#include "tunnel/OVPNState.h"

// Makes the client's own TAP adapter ready (found, or installed and marked;
// then hidden and first in the binding order) in one blocking step, and hands
// its GUID to "admin"; fails with the step's status (20017 to 20020).
class OVPNStateTap : public OVPNState {
 public:
  OVPNStateTap(OVPNThread& owner, std::wstring programPath, std::wstring tapFolder);
  void enter() override;
  const char* name() const override { return "tap"; }

 private:
  void prepareTapAdapter();

  std::wstring programPath_;  // handed on unchanged
  std::wstring tapFolder_;
};
