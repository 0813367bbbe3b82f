#include "tunnel/OVPNStateTap.h"

#include <utility>

#include "core/DebugLog.h"
#include "core/StatusCodes.h"
#include "tunnel/OVPNThread.h"

OVPNStateTap::OVPNStateTap(OVPNThread& owner, std::wstring programPath, std::wstring tapFolder)
    : OVPNState(owner, status::tunnelStateAborted),
      programPath_(std::move(programPath)),
      tapFolder_(std::move(tapFolder)) {}

void OVPNStateTap::enter() {
  postStep([this] { prepareAdapter(); });
}

void OVPNStateTap::prepareAdapter() {
  writeDebugLog("OVPN tap: no adapter preparation in this build\n");
  fail(status::adapterNotFound);
}
