#pragma once

#include <string>

#include "netcfg/NetworkConfig.h"
#include "tunnel/OVPNState.h"

// Stands in for the state that opens the management listener, which this
// build does not have: it logs the adapter it was handed and fails as a
// listener that cannot be created (status 20029).
class OVPNStateAdmin : public OVPNState {
 public:
  OVPNStateAdmin(OVPNThread& owner, std::wstring programPath, AdapterGuid adapterGuid);
  void enter() override;
  const char* name() const override { return "admin"; }

 private:
  void openManagementListener();

  std::wstring programPath_;
  AdapterGuid adapterGuid_;
};
