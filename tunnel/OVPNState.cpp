#include "tunnel/OVPNState.h"

#include "core/EventLoop.h"
#include "core/StatusCodes.h"
#include "tunnel/OVPNListener.h"
#include "tunnel/OVPNThread.h"

OVPNState::OVPNState(OVPNThread& owner) : owner_(&owner), armed_(false), teardownStatus_(0) {}

OVPNState::OVPNState(OVPNThread& owner, int teardownStatus)
    : owner_(&owner), armed_(true), teardownStatus_(teardownStatus) {}

OVPNState::~OVPNState() {
  // Runs after the derived destructor has released what the state held.
  if (armed_) owner_->listener().status(teardownStatus_);
}

void OVPNState::start() { owner_->listener().status(status::tunnelNotIdle); }

void OVPNState::stop() { owner_->setStateIdle(); }

void OVPNState::install(std::string) {}

void OVPNState::connect(std::string, std::string, bool, uint16_t, std::vector<RouteEntry>) {}

void OVPNState::sendAuth(std::string, std::string) {}

void OVPNState::fail(int code) {
  disarm();
  owner_->listener().status(code);
  owner_->setStateIdle();
}

void OVPNState::postStep(std::function<void()> step) {
  std::weak_ptr<OVPNState> self = weakSelf();
  owner_->eventLoop().post([self, step = std::move(step)] {
    // Held for the step: a transition inside it destroys this state only
    // when the step has returned.
    if (std::shared_ptr<OVPNState> alive = self.lock()) step();
  });
}
