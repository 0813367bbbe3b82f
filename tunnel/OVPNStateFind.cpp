#include "tunnel/OVPNStateFind.h"

#include "core/StatusCodes.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"

OVPNStateFind::OVPNStateFind(OVPNThread& owner) : OVPNState(owner, status::tunnelStateAborted) {}

void OVPNStateFind::enter() {
  postStep([this] { detect(); });
}

void OVPNStateFind::detect() {
  disarm();
  OVPNSystem& system = owner().system();
  // TAP-Windows is looked at only once OpenVPN is there.
  if (system.findOpenVpn(programPath_) && system.findTapWindows(tapFolder_))
    owner().setStateTap(programPath_, tapFolder_);
  else
    owner().setStateMissing();
}
