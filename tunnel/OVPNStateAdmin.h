#pragma once

#include <string>

#include "netcfg/NetworkConfig.h"
#include "tunnel/OVPNState.h"

// Opens the management listener that OpenVPN will connect back to, then
// asks for the server's configuration ("cfg"); status 20029 when it can't.
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
