#include "tunnel/OVPNStateTap.h"

#include <utility>

#include "core/StatusCodes.h"
#include "netcfg/NetworkConfig.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"

OVPNStateTap::OVPNStateTap(OVPNThread& owner, std::wstring programPath, std::wstring tapFolder)
    : OVPNState(owner, status::tunnelStateAborted),
      programPath_(std::move(programPath)),
      tapFolder_(std::move(tapFolder)) {}

void OVPNStateTap::enter() {
  postStep([this] { prepareTapAdapter(); });
}

void OVPNStateTap::prepareTapAdapter() {
  AdapterGuid adapterGuid{};
  int result = owner().system().prepareTapAdapter(tapFolder_, owner().stopSignal(), adapterGuid);
  if (result != 0) return fail(result);
  disarm();
  owner().setStateAdmin(std::move(programPath_), adapterGuid);
}
