#pragma once

#include <cstdint>

// How the tunnel machine reports to its owner. Every call is made on the
// OVPNThread worker thread; implementations hand the event on (post to the
// main thread) and must not block, throw, or drop the last reference to
// their OVPNThread (its destructor joins this thread).
class OVPNListener {
 public:
  // OpenVPN or TAP-Windows is not installed; the machine waits for install.
  virtual void missing() = 0;
  // The adapter and the management listener are ready; connect is expected.
  virtual void needConfig() = 0;
  // OpenVPN asks for the user name and password; sendAuth is expected.
  virtual void needCredentials() = 0;
  // The installer ended with exit code 0; detection runs again.
  virtual void installed() = 0;
  // The tunnel is up and its routes written; vpnIp in host byte order.
  virtual void connected(uint32_t vpnIp) = 0;
  virtual void bytecount(uint64_t bytesIn, uint64_t bytesOut) = 0;
  // Once for each attempt that ends before it is established, by a failure
  // or a teardown from outside (the machine is then idle); and for each start
  // refused while not idle (20030, nothing changes).
  virtual void status(int code) = 0;
  virtual ~OVPNListener() = default;
};
