#include "tunnel/OVPNStateStartProcess.h"

#include <utility>

#include "core/DebugLog.h"
#include "core/EventLoop.h"
#include "core/StatusCodes.h"
#include "core/Text.h"
#include "tunnel/ManagementListener.h"
#include "tunnel/OVPNConfig.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"

namespace {

void freeTimer(uv_handle_t* handle) { delete reinterpret_cast<uv_timer_t*>(handle); }

// The connection's remote port in host order; 0 when it can't be read.
uint16_t peerPort(uv_tcp_t* connection) {
  sockaddr_storage peer{};
  int length = sizeof peer;
  if (uv_tcp_getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.ss_family != AF_INET)
    return 0;
  return ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
}

}  // namespace

OVPNStateStartProcess::OVPNStateStartProcess(OVPNThread& owner, std::wstring programPath,
                                             std::unique_ptr<ManagementListener> listener,
                                             std::unique_ptr<OVPNConfigFile> configFile,
                                             std::vector<RouteEntry> routes, AdapterGuid adapterGuid)
    : OVPNState(owner, status::tunnelStateAborted),
      programPath_(std::move(programPath)),
      listener_(std::move(listener)),
      configFile_(std::move(configFile)),
      routes_(std::move(routes)),
      adapterGuid_(adapterGuid) {}

OVPNStateStartProcess::~OVPNStateStartProcess() {
  if (connectTimer_) {
    connectTimer_->data = nullptr;
    uv_close(reinterpret_cast<uv_handle_t*>(connectTimer_), &freeTimer);
  }
  // In this order: OpenVPN is ended and waited for before its file goes.
  process_.reset();
  configFile_.reset();
  listener_.reset();
}

void OVPNStateStartProcess::enter() {
  postStep([this] { run(); });
}

void OVPNStateStartProcess::run() {
  std::wstring commandLine = openVpnCommandLine(programPath_, configFile_->path());
  writeDebugLog("ovpn cmdline: " + toUtf8(commandLine) + "\n");
  process_ = owner().system().startProgram(programPath_, commandLine);
  if (!process_) return fail(status::ovpnStartFailed);

  EventLoop* loop = &owner().eventLoop();
  std::weak_ptr<OVPNState> self = weakSelf();
  // An exit before this point is reported as soon as the callback is set.
  process_->setExitCallback([loop, self] {
    loop->post([self] {
      if (std::shared_ptr<OVPNState> alive = self.lock())
        static_cast<OVPNStateStartProcess&>(*alive).onProcessExit();
    });
  });
  listener_->setOnConnection([self](uv_tcp_t* connection) {
    // Held for the call: the hand-over destroys this state, and the listener
    // whose callback this is, only once the call has returned.
    if (std::shared_ptr<OVPNState> alive = self.lock()) {
      static_cast<OVPNStateStartProcess&>(*alive).onManagementConnected(connection);
    } else {
      ManagementListener::closeConnection(connection);
    }
  });

  connectTimer_ = new uv_timer_t;
  uv_timer_init(loop->loop(), connectTimer_);
  connectTimer_->data = this;
  uv_timer_start(connectTimer_, &OVPNStateStartProcess::onConnectTimeout, connectTimeoutMs, 0);
}

void OVPNStateStartProcess::onManagementConnected(uv_tcp_t* connection) {
  // Any local program can reach the port; only the started OpenVPN gets the
  // credentials and may steer the routes.
  if (!owner().system().isConnectionOf(*process_, listener_->port(), peerPort(connection))) {
    writeDebugLog("OVPN: a management connection from another program closed\n");
    ManagementListener::closeConnection(connection);
    return;
  }
  writeDebugLog("OVPN Connected\n");
  disarm();
  owner().setStateEstablished(std::move(process_), connection, std::move(routes_), adapterGuid_);
}

void OVPNStateStartProcess::onProcessExit() { fail(status::tunnelFailed); }

void OVPNStateStartProcess::onConnectTimeout(uv_timer_t* timer) {
  auto* state = static_cast<OVPNStateStartProcess*>(timer->data);
  if (!state) return;
  // Held for the call: the failure destroys this state, and closes the timer.
  std::shared_ptr<OVPNState> alive = state->shared_from_this();
  state->fail(status::managementConnectTimeout);
}
