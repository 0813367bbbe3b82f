#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "netcfg/NetworkConfig.h"
#include "netcfg/RouteEntry.h"

// libuv's TCP handle, declared as <uv.h> does: that header here would put
// winsock2.h after the windows.h of many includers.
typedef struct uv_tcp_s uv_tcp_t;
class EventLoop;
class ManagementListener;
class OVPNConfigFile;
class OVPNListener;
class OVPNProcess;
class OVPNState;
class OVPNStopSignal;
class OVPNSystem;

// One attempt to bring up and hold the OpenVPN tunnel: a worker thread with
// its own event loop running a machine of states (idle, find, miss, inst,
// tap, ...), exactly one current at a time and replaced whole on each
// transition. Each new state's name is logged as "OVPN State: <name>".
//
// The owner drives it with the five operations below, callable from any
// thread: each only posts, and the task calls the operation of whichever
// state is current when it runs. It hears back only through the listener,
// on the worker thread. Stop (and the destructor) also raises the stop signal
// before posting, so a blocking step that waits on it (tapinstall) ends first.
class OVPNThread {
 public:
  // Returns once the worker's loop exists and idle is (about to be) current.
  OVPNThread(std::shared_ptr<OVPNListener> listener, std::shared_ptr<OVPNSystem> system);
  OVPNThread(const OVPNThread&) = delete;
  OVPNThread& operator=(const OVPNThread&) = delete;
  // Not on the worker thread. Stops the current state (a running attempt
  // reports its teardown status), lets the loop end and joins the worker;
  // every state is destroyed on the worker.
  ~OVPNThread();

  void start();
  void stop();
  // The downloaded OpenVPN installer, whole.
  void install(std::string installerData);
  // The server's configuration, its IPv4 address as dotted text, the
  // protocol, its port and the game's routes.
  void connect(std::string config, std::string host, bool udp, uint16_t port, std::vector<RouteEntry> routes);
  void sendAuth(std::string user, std::string password);

  // Worker thread only: the states' way to move on. Each replaces the current
  // state; the caller's state may be gone once its task returns, and it must
  // not act after the call.
  void setStateIdle();
  void setStateFind();
  void setStateMissing();
  void setStateInstall(std::string installerData);
  // programPath: "OpenVPN.exe" as found; tapFolder: TAP-Windows' folder.
  void setStateTap(std::wstring programPath, std::wstring tapFolder);
  // adapterGuid: the NetCfgInstanceId of the client's own TAP adapter.
  void setStateAdmin(std::wstring programPath, AdapterGuid adapterGuid);
  // listener: the management listener OpenVPN will connect back to.
  void setStateConfig(std::wstring programPath, AdapterGuid adapterGuid, std::unique_ptr<ManagementListener> listener);
  void setStateStartProcess(std::wstring programPath, std::unique_ptr<ManagementListener> listener,
                            std::unique_ptr<OVPNConfigFile> configFile, std::vector<RouteEntry> routes,
                            AdapterGuid adapterGuid);
  // connection: OpenVPN's accepted management connection (malloc'd uv_tcp_t on the
  // worker loop), which the new state closes and frees.
  void setStateEstablished(std::unique_ptr<OVPNProcess> process, uv_tcp_t* connection,
                           std::vector<RouteEntry> routes, AdapterGuid adapterGuid);

  // For the states (the loop only while the worker runs).
  EventLoop& eventLoop() { return *loop_; }
  OVPNListener& listener() { return *listener_; }
  OVPNSystem& system() { return *system_; }
  OVPNStopSignal& stopSignal() { return *stopSignal_; }

 private:
  void threadMain();
  // Runs operation on the state that is current when the task runs.
  template <class Operation>
  void postToCurrent(Operation operation);
  void onLoopStopped();
  void transition(std::shared_ptr<OVPNState> next);

  std::shared_ptr<OVPNListener> listener_;  // fixed for the object's life
  std::shared_ptr<OVPNSystem> system_;
  std::unique_ptr<OVPNStopSignal> stopSignal_;
  // Stops posted and not yet run; the signal is set while any is. Guarded by
  // stopMutex_, so a stop raised meanwhile is never lowered by an older one.
  int stopsPending_ = 0;
  std::mutex stopMutex_;
  EventLoop* loop_ = nullptr;  // made by the worker; deletes itself when the worker ends
  std::shared_ptr<OVPNState> current_;  // empty before the first task and after the stop
  struct Worker;                          // the latch and the std::thread
  std::unique_ptr<Worker> worker_;
};
