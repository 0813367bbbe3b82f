#pragma once

// The parts of the controllers a test replaces, in the shape of UpdateSeams:
// one struct given at construction and handed on to every controller made
// from it; an empty member means the client's own (for the probes a Pinger,
// for connect a ConnectOperation, for repair a NetworkRepairOperation).
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/ServerProbes.h"
#include "bridge/UpdateSeams.h"
#include "bridge/win/GuiInterfaces.h"

class ConnectListener;
class OVPNListener;
class RepairListener;
class TunnelMachine;

// What the connect operation is made with.
struct ConnectChoice {
  bool udp = true;
  uint16_t port = 0;  // the server's udp or tcp port
  int gameId = 0;
  uint32_t serverIp = 0;  // host order
  int latencyMs = -1;
  std::string gameName;
  std::string serverName;
  std::string user;
  std::string password;
  std::string serverAddr;
};

// A made operation: the GUI gets operation, start runs once the GUI has
// handed over its progress interface. The operation holds the listener it
// was made with and reports its end there.
struct MainOperation {
  Microsoft::WRL::ComPtr<IUnknown> operation;
  std::function<void(IOperationProgress* progress)> start;
};

// The parts of the client's own connect operation a test replaces.
struct ConnectSeams {
  // One attempt's tunnel machine, reporting to listener; by default an
  // OVPNThread over the real system.
  std::function<std::shared_ptr<TunnelMachine>(std::shared_ptr<OVPNListener> listener)> makeTunnel;
  // Whether an installer fetched over plain http may run; by default its
  // Authenticode signature must verify. One fetched over https always may.
  std::function<bool(const std::string& installer)> installerTrusted;
};

struct ControllerSeams {
  UpdateSeams update;
  ConnectSeams connect;
  std::function<std::unique_ptr<ServerProbes>()> makeProbes;
  std::function<MainOperation(std::shared_ptr<ConnectListener> listener, const ConnectChoice& choice)> makeConnect;
  std::function<MainOperation(std::shared_ptr<RepairListener> listener, UINT group)> makeRepair;
};
