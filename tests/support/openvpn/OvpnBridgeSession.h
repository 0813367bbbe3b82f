#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A session of the OpenVPN test bridge (tests/support/openvpn/bridge.py, the
// test's launcher; it passes its control port as ZAV_OVPN_BRIDGE): one start
// of the stand-in OpenVPN.exe, scripted or against a real OpenVPN.

// What the session saw, sent by the bridge once it ended.
struct OvpnBridgeRecord {
  bool complete = false;  // the record arrived whole in time
  uint32_t pid = 0;       // the stand-in's process id
  std::string args;       // its command line
  std::string config;     // its --config file's bytes
  std::string adapted;    // real sessions: the configuration openvpn ran on
  std::map<unsigned, std::string> written;  // per connection, every byte the client wrote
  std::vector<std::string> events;          // "connected 1", "closed 1", "refused 1", "openvpn-exit 0", ...
  std::vector<std::string> errors;          // failed steps, setup failures
};

class OvpnBridgeSession {
 public:
  // kind "script" with the JSON of bridge.py's steps, or "real" with "{}".
  // Null when there is no bridge or it refused; why then says what happened
  // (the bridge's own text when it refused).
  static std::unique_ptr<OvpnBridgeSession> open(const std::string& kind, const std::string& json,
                                                 std::string* why = nullptr);
  // The bridge's refusal of a real session on a machine without root rights:
  // the only reason a test may skip.
  static bool needsRoot(const std::string& why) { return why.find("needs root") != std::string::npos; }
  // Closing ends the session and all it started.
  ~OvpnBridgeSession();
  OvpnBridgeSession(const OvpnBridgeSession&) = delete;
  OvpnBridgeSession& operator=(const OvpnBridgeSession&) = delete;

  // The port the stand-in must find in its bridge-port.txt.
  uint16_t port() const { return port_; }
  // Real sessions: the server's configuration text to hand the client.
  const std::string& serverText() const { return serverText_; }
  // Waits up to timeoutMs for the session to end.
  OvpnBridgeRecord record(int timeoutMs);
  // Tells the bridge the stand-in's process has ended (the test saw it), so
  // the session ends even when Wine keeps its bridge connection open.
  void standInGone();
  // Lets the script's "hold" step go on.
  void release();

 private:
  explicit OvpnBridgeSession(uintptr_t control) : control_(control) {}
  bool readFrame(std::string& word, unsigned long& number, std::string& payload, unsigned long deadline);

  uintptr_t control_;
  std::string input_;
  uint16_t port_ = 0;
  std::string serverText_;
};

// Bytes as a JSON string for a script (every byte below 0x20 or above 0x7e
// escaped, so the bridge gets the bytes themselves).
std::string jsonBytes(const std::string& bytes);

// The stand-in placed as binFolder\OpenVPN.exe (copied from beside the test
// program) with binFolder\bridge-port.txt naming the session's port.
bool placeOpenVpnStandIn(const std::wstring& binFolder, uint16_t sessionPort);

// In a test body: goes on when opened is true; otherwise skips when the
// bridge said why as needing root, and fails with why for any other reason.
#define SKIP_UNLESS_REAL_SESSION(opened, why)                                        \
  do {                                                                              \
    if (!(opened)) {                                                                \
      if (OvpnBridgeSession::needsRoot(why)) GTEST_SKIP() << (why);                 \
      FAIL() << "no real session: " << (why);                                       \
    }                                                                               \
  } while (0)
