#include "tunnel/OVPNStateInstall.h"

#include <utility>

#include "core/EventLoop.h"
#include "core/QuoteArgument.h"
#include "core/StatusCodes.h"
#include "tunnel/OVPNListener.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"

OVPNStateInstall::OVPNStateInstall(OVPNThread& owner, std::string installerData)
    : OVPNState(owner, status::tunnelStateAborted), installerData_(std::move(installerData)) {}

OVPNStateInstall::~OVPNStateInstall() {
  // In this order: the program holds its file until it has exited.
  process_.reset();
  installer_.reset();
}

void OVPNStateInstall::enter() {
  postStep([this] { run(); });
}

void OVPNStateInstall::run() {
  OVPNSystem& system = owner().system();
  installer_ = system.writeInstaller(installerData_);
  if (!installer_) return fail(status::installerWriteFailed);
  const std::wstring& path = installer_->path();
  process_ = system.startProgram(path, quoteArgument(path) + switches);
  if (!process_) return fail(status::installerStartFailed);
  EventLoop* loop = &owner().eventLoop();
  std::weak_ptr<OVPNState> self = weakSelf();
  process_->setExitCallback([loop, self] {
    loop->post([self] {
      if (std::shared_ptr<OVPNState> alive = self.lock()) static_cast<OVPNStateInstall&>(*alive).onInstallerExit();
    });
  });
}

void OVPNStateInstall::onInstallerExit() {
  disarm();
  if (process_->exitCode() != 0) return fail(status::installerExitCode);
  owner().listener().installed();
  owner().setStateFind();
}
