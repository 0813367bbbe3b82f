#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "netcfg/NetworkConfig.h"
#include "netcfg/RouteEntry.h"
#include "tunnel/OVPNState.h"

struct ManagementCommand;
struct ManagementLine;
class ManagementLineBuffer;
class OVPNProcess;
typedef struct uv2wm_s uv2wm_t;
typedef struct uv_tcp_s uv_tcp_t;
typedef struct uv_handle_s uv_handle_t;

// The running tunnel: holds OpenVPN's management dialogue until the attempt
// ends. It releases OpenVPN's hold, passes the owner's credentials on, reports
// byte counts, learns the tunnel's gateway and interface from OpenVPN's log
// and, at each completed initialisation, writes the routes and reports
// connected. Every line OpenVPN sends but the byte counts goes to a transcript
// in the logs folder, with the password masked.
//
// It ends by a failure of its own (reported, then idle) or from outside:
// stop, the management connection's end or failure, a line beyond the line
// limit, or OpenVPN's exit, all of which report 20005 from the destructor.
class OVPNStateEstablished : public OVPNState {
 public:
  // connection: an open TCP handle on the worker loop, made with new; the
  // state closes and deletes it.
  OVPNStateEstablished(OVPNThread& owner, std::unique_ptr<OVPNProcess> process, uv_tcp_t* connection,
                       std::vector<RouteEntry> routes, AdapterGuid adapterGuid);
  // Flushes the routes of a held record, closes the connection and the
  // transcript, ends OpenVPN and sets DNS back, in this order.
  ~OVPNStateEstablished() override;

  void enter() override;
  void sendAuth(std::string user, std::string password) override;
  const char* name() const override { return "estab"; }

 private:
  static void onStreamEvent(uv2wm_t* stream, void* user, uint8_t event, const char* data, size_t length);
  // The handlers below return false once the state has ended: the caller
  // stops at once and leaves the rest of the buffer unread.
  bool onManagementData(const char* data, size_t length);
  bool onLine(const std::string& text);
  bool onDhcpNotified(const ManagementLine& line);
  bool onInitCompleted();
  void onPushReply(const ManagementLine& line);
  void holdRelease();
  void sendCommand(const ManagementCommand& command);
  void writeTranscript(const std::string& line);
  // text with the password, as sent and as quoted, replaced by "***".
  std::string masked(const std::string& text) const;

  std::unique_ptr<OVPNProcess> process_;  // ended once the connection and transcript are closed
  uv_tcp_t* connection_;                  // until handed to stream_ on entry
  uv2wm_t* stream_ = nullptr;
  std::unique_ptr<NetworkConfig> network_;  // made on entry; destroyed last, which sets DNS back
  std::unique_ptr<ManagementLineBuffer> input_;
  std::unique_ptr<std::ostream> transcript_;  // null or failed: lines dropped
  std::vector<RouteEntry> routes_;
  AdapterGuid adapterGuid_;
  uint32_t vpnGateway_ = 0;                            // host order; 0 until a route-gateway is pushed
  std::unique_ptr<VpnInterfaceInfo> interfaceRecord_;  // from the last accepted DHCP notice
  std::string password_;                               // the last one sent, masked wherever it is written
};
