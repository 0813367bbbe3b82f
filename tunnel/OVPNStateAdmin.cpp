#include "tunnel/OVPNStateAdmin.h"

#include <memory>
#include <utility>

#include "core/StatusCodes.h"
#include "tunnel/ManagementListener.h"
#include "tunnel/OVPNThread.h"

OVPNStateAdmin::OVPNStateAdmin(OVPNThread& owner, std::wstring programPath, AdapterGuid adapterGuid)
    : OVPNState(owner, status::tunnelStateAborted), programPath_(std::move(programPath)), adapterGuid_(adapterGuid) {}

void OVPNStateAdmin::enter() {
  postStep([this] { openManagementListener(); });
}

void OVPNStateAdmin::openManagementListener() {
  std::unique_ptr<ManagementListener> listener = ManagementListener::create(owner().eventLoop());
  if (!listener) return fail(status::managementListenFailed);
  disarm();
  owner().setStateConfig(std::move(programPath_), adapterGuid_, std::move(listener));
}
