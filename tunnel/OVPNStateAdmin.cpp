#include "tunnel/OVPNStateAdmin.h"

#include <utility>

#include "core/DebugLog.h"
#include "core/StatusCodes.h"
#include "netcfg/TapBindOrder.h"

namespace {

// The GUID record's fields lie in memory in little-endian order.
BindGuid guidFields(const AdapterGuid& bytes) {
  BindGuid guid;
  guid.data1 = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
               static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  guid.data2 = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
  guid.data3 = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
  for (int i = 0; i < 8; ++i) guid.data4[i] = bytes[8 + i];
  return guid;
}

}  // namespace

OVPNStateAdmin::OVPNStateAdmin(OVPNThread& owner, std::wstring programPath, AdapterGuid adapterGuid)
    : OVPNState(owner, status::tunnelStateAborted), programPath_(std::move(programPath)), adapterGuid_(adapterGuid) {}

void OVPNStateAdmin::enter() {
  postStep([this] { openManagementListener(); });
}

void OVPNStateAdmin::openManagementListener() {
  std::u16string guid = bracedGuidText(guidFields(adapterGuid_));
  writeDebugLog("OVPN admin: no management listener in this build, adapter " + std::string(guid.begin(), guid.end()) +
                "\n");
  fail(status::managementListenFailed);
}
