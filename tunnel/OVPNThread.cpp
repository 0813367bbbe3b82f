#include "tunnel/OVPNThread.h"

#include <thread>
#include <utility>

#include "core/DebugLog.h"
#include "core/EventLoop.h"
#include "tunnel/ManagementListener.h"
#include "tunnel/OVPNListener.h"
#include "tunnel/OVPNStateAdmin.h"
#include "tunnel/OVPNStateConfig.h"
#include "tunnel/OVPNStateEstablished.h"
#include "tunnel/OVPNStateFind.h"
#include "tunnel/OVPNStateIdle.h"
#include "tunnel/OVPNStateInstall.h"
#include "tunnel/OVPNStateMissing.h"
#include "tunnel/OVPNStateStartProcess.h"
#include "tunnel/OVPNStateTap.h"
#include "tunnel/OVPNSystem.h"

struct OVPNThread::Worker {
  StartLatch startLatch;
  std::thread thread;
};

OVPNThread::OVPNThread(std::shared_ptr<OVPNListener> listener, std::shared_ptr<OVPNSystem> system)
    : listener_(std::move(listener)),
      system_(std::move(system)),
      stopSignal_(system_->createStopSignal()),
      worker_(new Worker) {
  worker_->startLatch.init();
  worker_->thread = std::thread(&OVPNThread::threadMain, this);
  worker_->startLatch.wait();
}

OVPNThread::~OVPNThread() {
  stop();
  loop_->post([this] { onLoopStopped(); });
  worker_->thread.join();
  worker_->startLatch.destroy();
}

void OVPNThread::threadMain() {
  loop_ = new EventLoop;
  loop_->acquire();
  // Queued before the latch opens: whatever the owner posts next finds idle.
  loop_->post([this] { setStateIdle(); });
  worker_->startLatch.set();
  loop_->runToEnd();
}

void OVPNThread::onLoopStopped() {
  current_.reset();
  loop_->release();
}

template <class Operation>
void OVPNThread::postToCurrent(Operation operation) {
  loop_->post([this, operation = std::move(operation)]() mutable {
    // Held across the call: the state may replace itself inside it.
    std::shared_ptr<OVPNState> state = current_;
    if (state) operation(*state);
  });
}

void OVPNThread::start() {
  postToCurrent([](OVPNState& state) { state.start(); });
}

void OVPNThread::stop() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    ++stopsPending_;
    stopSignal_->set();
  }
  loop_->post([this] {
    // Whatever waited on the signal has ended by now: the next attempt's
    // steps must not find it set.
    {
      std::lock_guard<std::mutex> lock(stopMutex_);
      if (--stopsPending_ == 0) stopSignal_->reset();
    }
    std::shared_ptr<OVPNState> state = current_;
    if (state) state->stop();
  });
}

void OVPNThread::install(std::string installerData) {
  auto data = std::make_shared<std::string>(std::move(installerData));
  postToCurrent([data](OVPNState& state) { state.install(std::move(*data)); });
}

void OVPNThread::connect(std::string config, std::string host, bool udp, uint16_t port,
                         std::vector<RouteEntry> routes) {
  struct Arguments {
    std::string config;
    std::string host;
    bool udp;
    uint16_t port;
    std::vector<RouteEntry> routes;
  };
  auto args = std::make_shared<Arguments>(Arguments{std::move(config), std::move(host), udp, port, std::move(routes)});
  postToCurrent([args](OVPNState& state) {
    state.connect(std::move(args->config), std::move(args->host), args->udp, args->port, std::move(args->routes));
  });
}

void OVPNThread::sendAuth(std::string user, std::string password) {
  auto args = std::make_shared<std::pair<std::string, std::string>>(std::move(user), std::move(password));
  postToCurrent([args](OVPNState& state) { state.sendAuth(std::move(args->first), std::move(args->second)); });
}

void OVPNThread::transition(std::shared_ptr<OVPNState> next) {
  current_ = next;
  writeDebugLog(std::string("OVPN State: ") + next->name() + "\n");
  next->enter();
}

void OVPNThread::setStateIdle() { transition(std::make_shared<OVPNStateIdle>(*this)); }

void OVPNThread::setStateFind() { transition(std::make_shared<OVPNStateFind>(*this)); }

void OVPNThread::setStateMissing() { transition(std::make_shared<OVPNStateMissing>(*this)); }

void OVPNThread::setStateInstall(std::string installerData) {
  transition(std::make_shared<OVPNStateInstall>(*this, std::move(installerData)));
}

void OVPNThread::setStateTap(std::wstring programPath, std::wstring tapFolder) {
  transition(std::make_shared<OVPNStateTap>(*this, std::move(programPath), std::move(tapFolder)));
}

void OVPNThread::setStateAdmin(std::wstring programPath, AdapterGuid adapterGuid) {
  transition(std::make_shared<OVPNStateAdmin>(*this, std::move(programPath), adapterGuid));
}

void OVPNThread::setStateConfig(std::wstring programPath, AdapterGuid adapterGuid,
                                std::unique_ptr<ManagementListener> listener) {
  transition(std::make_shared<OVPNStateConfig>(*this, std::move(programPath), adapterGuid, std::move(listener)));
}

void OVPNThread::setStateStartProcess(std::wstring programPath, std::unique_ptr<ManagementListener> listener,
                                      std::unique_ptr<OVPNConfigFile> configFile, std::vector<RouteEntry> routes,
                                      AdapterGuid adapterGuid) {
  transition(std::make_shared<OVPNStateStartProcess>(*this, std::move(programPath), std::move(listener),
                                                     std::move(configFile), std::move(routes), adapterGuid));
}

void OVPNThread::setStateEstablished(std::unique_ptr<OVPNProcess> process, uv_tcp_t* connection,
                                     std::vector<RouteEntry> routes, AdapterGuid adapterGuid) {
  transition(std::make_shared<OVPNStateEstablished>(*this, std::move(process), connection, std::move(routes),
                                                    adapterGuid));
}
