#include "tunnel/OVPNStateConfig.h"

#include <exception>
#include <utility>

#include "core/DebugLog.h"
#include "core/StatusCodes.h"
#include "netcfg/TapBindOrder.h"
#include "tunnel/ManagementListener.h"
#include "tunnel/OVPNConfig.h"
#include "tunnel/OVPNListener.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"

namespace {

// The GUID record's fields lie in memory in little-endian order.
std::string bracedGuid(const AdapterGuid& bytes) {
  BindGuid guid;
  guid.data1 = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
               static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  guid.data2 = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
  guid.data3 = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
  for (int i = 0; i < 8; ++i) guid.data4[i] = bytes[8 + i];
  std::u16string text = bracedGuidText(guid);
  return std::string(text.begin(), text.end());  // hex digits, braces and dashes only
}

}  // namespace

OVPNStateConfig::OVPNStateConfig(OVPNThread& owner, std::wstring programPath, AdapterGuid adapterGuid,
                                 std::unique_ptr<ManagementListener> listener)
    : OVPNState(owner, status::tunnelStateAborted),
      programPath_(std::move(programPath)),
      adapterGuid_(adapterGuid),
      listener_(std::move(listener)) {}

OVPNStateConfig::~OVPNStateConfig() = default;

void OVPNStateConfig::enter() { owner().listener().needConfig(); }

void OVPNStateConfig::connect(std::string config, std::string host, bool udp, uint16_t port,
                              std::vector<RouteEntry> routes) {
  std::unique_ptr<OVPNConfigFile> file;
  try {
    file = owner().system().writeConfigFile(
        openVpnConfigText(config, host, port, listener_->port(), udp, bracedGuid(adapterGuid_)));
  } catch (const std::exception& e) {
    writeDebugLog(std::string("OVPN: configuration not written: ") + e.what() + "\n");
  }
  if (!file) return fail(status::configWriteFailed);
  disarm();
  owner().setStateStartProcess(std::move(programPath_), std::move(listener_), std::move(file), std::move(routes),
                               adapterGuid_);
}
