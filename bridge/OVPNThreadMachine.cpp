#include "bridge/OVPNThreadMachine.h"

#include <utility>

#include "tunnel/OVPNListener.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"

namespace {

class OVPNThreadMachine : public TunnelMachine {
 public:
  OVPNThreadMachine(std::shared_ptr<OVPNListener> listener, std::shared_ptr<OVPNSystem> system)
      : thread_(std::move(listener), std::move(system)) {}

  void start() override { thread_.start(); }
  void stop() override { thread_.stop(); }
  void install(std::string installerData) override { thread_.install(std::move(installerData)); }
  void connect(std::string config, std::string host, bool udp, uint16_t port,
               std::vector<RouteEntry> routes) override {
    thread_.connect(std::move(config), std::move(host), udp, port, std::move(routes));
  }
  void sendAuth(std::string user, std::string password) override {
    thread_.sendAuth(std::move(user), std::move(password));
  }

 private:
  OVPNThread thread_;
};

}  // namespace

std::shared_ptr<TunnelMachine> makeOvpnTunnel(std::shared_ptr<OVPNListener> listener,
                                              std::shared_ptr<OVPNSystem> system) {
  return std::make_shared<OVPNThreadMachine>(std::move(listener), std::move(system));
}
