#include "tunnel/OVPNStateMissing.h"

#include <utility>

#include "core/StatusCodes.h"
#include "tunnel/OVPNListener.h"
#include "tunnel/OVPNThread.h"

OVPNStateMissing::OVPNStateMissing(OVPNThread& owner) : OVPNState(owner, status::tunnelStateAborted) {}

void OVPNStateMissing::enter() { owner().listener().missing(); }

void OVPNStateMissing::retry() {
  disarm();
  owner().setStateFind();
}

void OVPNStateMissing::install(std::string installerData) {
  disarm();
  owner().setStateInstall(std::move(installerData));
}
