#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "netcfg/RouteEntry.h"

class OVPNThread;

// Base of the tunnel machine's states. Each lives in a shared pointer held by
// its OVPNThread, and is created, used and destroyed on the worker thread.
//
// The armed rule: every state but idle is created armed. A state clears the
// flag before each transition it makes itself and before each failure it
// reports itself; a state destroyed while still armed was torn down from
// outside (stop, the thread's destruction) and reports its teardown status
// once, from the destructor.
class OVPNState : public std::enable_shared_from_this<OVPNState> {
 public:
  OVPNState(const OVPNState&) = delete;
  OVPNState& operator=(const OVPNState&) = delete;
  virtual ~OVPNState();

  // Once, right after the state has become current.
  virtual void enter() {}
  // Any state but idle: status 20030, nothing else changes.
  virtual void start();
  // Back to idle with the flag still set, so the destructor reports.
  virtual void stop();
  virtual void retry() {}
  virtual void install(std::string installerData);
  virtual void connect(std::string config, std::string host, bool udp, uint16_t port, std::vector<RouteEntry> routes);
  virtual void sendAuth(std::string user, std::string password);
  // As logged: "idle", "find", ...
  virtual const char* name() const = 0;

 protected:
  // An idle state: no flag, reports nothing when destroyed.
  explicit OVPNState(OVPNThread& owner);
  // An armed state that reports teardownStatus when destroyed while armed.
  OVPNState(OVPNThread& owner, int teardownStatus);

  OVPNThread& owner() const { return *owner_; }
  std::weak_ptr<OVPNState> weakSelf() { return weak_from_this(); }
  void disarm() { armed_ = false; }
  // Reports code, disarms and goes idle; the caller must return at once.
  void fail(int code);
  // Runs step later on the worker loop, only if this state still exists then
  // (so a transition that created this state finishes first).
  void postStep(std::function<void()> step);

 private:
  OVPNThread* owner_;  // the thread outlives its states
  bool armed_;
  int teardownStatus_;
};
