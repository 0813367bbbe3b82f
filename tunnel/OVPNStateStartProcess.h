#pragma once

#include <uv.h>

#include <memory>
#include <string>
#include <vector>

#include "netcfg/NetworkConfig.h"
#include "tunnel/OVPNState.h"

class ManagementListener;
class OVPNConfigFile;
class OVPNProcess;

// Starts OpenVPN on the configuration file and waits up to 5000 ms for it to
// connect back to the management listener; that connection, with the
// process, goes on to "estab". A connection that the started OpenVPN did not
// open is closed and the wait goes on. Fails with 20023 (not started), 20005
// (it ended first) or 20025 (no connection in time). OpenVPN and the
// configuration file last no longer than this state, unless handed on.
class OVPNStateStartProcess : public OVPNState {
 public:
  static constexpr uint64_t connectTimeoutMs = 5000;

  OVPNStateStartProcess(OVPNThread& owner, std::wstring programPath, std::unique_ptr<ManagementListener> listener,
                        std::unique_ptr<OVPNConfigFile> configFile, std::vector<RouteEntry> routes,
                        AdapterGuid adapterGuid);
  ~OVPNStateStartProcess() override;
  void enter() override;
  const char* name() const override { return "proc"; }

 private:
  void run();
  void onManagementConnected(uv_tcp_t* connection);
  void onProcessExit();
  static void onConnectTimeout(uv_timer_t* timer);

  std::wstring programPath_;
  std::unique_ptr<ManagementListener> listener_;
  std::unique_ptr<OVPNConfigFile> configFile_;
  std::vector<RouteEntry> routes_;
  AdapterGuid adapterGuid_;
  std::unique_ptr<OVPNProcess> process_;  // once started, until the state ends or hands it on
  uv_timer_t* connectTimer_ = nullptr;    // once started; data points here until the destructor
};
