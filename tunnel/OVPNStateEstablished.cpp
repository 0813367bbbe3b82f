#include "tunnel/OVPNStateEstablished.h"

#include <uv.h>

#include <ctime>
#include <exception>
#include <utility>

#include "core/DebugLog.h"
#include "core/EventLoop.h"
#include "core/StatusCodes.h"
#include "netcfg/NetText.h"
#include "netcfg/TapBindOrder.h"
#include "tunnel/ManagementListener.h"
#include "tunnel/ManagementProtocol.h"
#include "tunnel/OVPNListener.h"
#include "tunnel/OVPNSystem.h"
#include "tunnel/OVPNThread.h"
#include "uv2wm/uv2wm.h"

namespace {

// The GUID record's fields lie in memory in little-endian order.
AdapterGuid guidBytes(const BindGuid& guid) {
  AdapterGuid bytes;
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(guid.data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<unsigned char>(guid.data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<unsigned char>(guid.data3 >> (8 * i));
  for (int i = 0; i < 8; ++i) bytes[8 + i] = guid.data4[i];
  return bytes;
}

// The text as IIDFromString reads it. A byte beyond ASCII is never part of an
// accepted GUID, so taking bytes as units refuses exactly what the UTF-16
// conversion would.
bool parseGuidText(const std::string& text, AdapterGuid& guid) {
  std::u16string units;
  for (char c : text) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  BindGuid parsed;
  if (!parseBracedGuid(units.c_str(), parsed)) return false;
  guid = guidBytes(parsed);
  return true;
}

// "%Y%m%d%H%M%S.txt" in local time, the form the old-log cleanup looks for.
std::string transcriptName() {
  std::time_t now = std::time(nullptr);
  std::tm local = {};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char name[32];
  std::strftime(name, sizeof name, "%Y%m%d%H%M%S.txt", &local);
  return name;
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
}

}  // namespace

OVPNStateEstablished::OVPNStateEstablished(OVPNThread& owner, std::unique_ptr<OVPNProcess> process,
                                           uv_tcp_t* connection, std::vector<RouteEntry> routes,
                                           AdapterGuid adapterGuid)
    : OVPNState(owner, status::tunnelFailed),
      process_(std::move(process)),
      connection_(connection),
      input_(new ManagementLineBuffer),
      routes_(std::move(routes)),
      adapterGuid_(adapterGuid) {}

OVPNStateEstablished::~OVPNStateEstablished() {
  if (interfaceRecord_ && network_) network_->flushRouteTable(interfaceRecord_.get());
  if (stream_) {
    uv2wm_free(stream_);
  } else if (connection_) {
    ManagementListener::closeConnection(connection_);
  }
  transcript_.reset();
  process_.reset();
  network_.reset();
}

void OVPNStateEstablished::enter() {
  EventLoop* loop = &owner().eventLoop();
  std::weak_ptr<OVPNState> self = weakSelf();
  // Called only while the process exists, which this state owns on the
  // worker: the loop is still there. A stop after the state went finds none.
  process_->setExitCallback([loop, self] {
    loop->post([self] {
      if (std::shared_ptr<OVPNState> alive = self.lock()) alive->stop();
    });
  });
  network_ = owner().system().createNetworkConfig();
  stream_ = uv2wm_new(reinterpret_cast<uv_stream_t*>(connection_), this, &OVPNStateEstablished::onStreamEvent);
  connection_ = nullptr;
  uv2wm_set_read_size(stream_, 0, 0);
  uv2wm_start_read(stream_);
  transcript_ = owner().system().openTranscript(transcriptName());
}

void OVPNStateEstablished::onStreamEvent(uv2wm_t* stream, void* user, uint8_t event, const char* data, size_t length) {
  auto* state = static_cast<OVPNStateEstablished*>(user);
  // Whatever ends the state here leaves it alive until this returns.
  std::shared_ptr<OVPNState> hold = state->shared_from_this();
  switch (event) {
    case UV2WM_EVENT_DATA:
      state->onManagementData(data, length);
      return;
    case UV2WM_EVENT_DRAINED:
      uv2wm_set_writing(stream, 0);
      return;
    default:
      state->stop();
      return;
  }
}

bool OVPNStateEstablished::onManagementData(const char* data, size_t length) {
  input_->append(data, length);
  std::string line;
  for (;;) {
    switch (input_->next(line)) {
      case ManagementLineBuffer::Next::pending:
        return true;
      case ManagementLineBuffer::Next::tooLong:
        // Not OpenVPN speaking any more: the stream is as good as broken.
        stop();
        return false;
      case ManagementLineBuffer::Next::line:
        if (!onLine(line)) return false;
        break;
    }
  }
}

bool OVPNStateEstablished::onLine(const std::string& text) {
  ManagementLine line = classifyManagementLine(text);
  if (line.toTranscript) writeTranscript(text);
  switch (line.kind) {
    case ManagementLineKind::byteCount:
      owner().listener().bytecount(line.bytesIn, line.bytesOut);
      return true;
    case ManagementLineKind::byteCountInvalid:
      writeDebugLog("BYTECOUNT failed: " + masked(line.value) + "\n");
      return true;
    case ManagementLineKind::needCredentials:
      owner().listener().needCredentials();
      return true;
    case ManagementLineKind::holdWaiting:
      holdRelease();
      return true;
    case ManagementLineKind::pushReply:
      onPushReply(line);
      return true;
    case ManagementLineKind::dhcpNotice:
      return onDhcpNotified(line);
    case ManagementLineKind::initCompleted:
      return onInitCompleted();
    default:
      return true;
  }
}

void OVPNStateEstablished::holdRelease() {
  writeDebugLog("hold release\n");
  // OpenVPN restarts its connection: routes through the old tunnel must go
  // before the record that names them does.
  if (interfaceRecord_) network_->flushRouteTable(interfaceRecord_.get());
  sendCommand(holdReleaseCommand());
  interfaceRecord_.reset();
  vpnGateway_ = 0;
}

void OVPNStateEstablished::sendAuth(std::string user, std::string password) {
  ManagementCommand command;
  if (!credentialsCommand(user, password, command)) {
    fail(status::credentialsInvalid);
    return;
  }
  password_ = std::move(password);
  sendCommand(command);
}

void OVPNStateEstablished::sendCommand(const ManagementCommand& command) {
  writeDebugLog("OVPN <- " + command.logText + "\n");
  if (!command.bytes.empty()) uv2wm_write(stream_, command.bytes.data(), command.bytes.size());
  uv2wm_set_writing(stream_, 1);
}

void OVPNStateEstablished::onPushReply(const ManagementLine& line) {
  if (!line.hasGateway) return;
  if (line.gatewayValid) vpnGateway_ = line.gateway;
  writeDebugLog("vpnGateway: " + masked(line.gatewayText) + "\n");
}

bool OVPNStateEstablished::onDhcpNotified(const ManagementLine& line) {
  if (vpnGateway_ == 0) {
    fail(status::dhcpBeforeRouteGateway);
    return false;
  }
  if (!line.dhcpComplete) return true;
  uint32_t defaultGateway = 0;
  try {
    defaultGateway = network_->defaultGateway();
  } catch (const std::exception&) {
    fail(status::dhcpWithoutDefaultRoute);
    return false;
  }
  AdapterGuid guid;
  if (!parseGuidText(line.guidText, guid)) {
    fail(status::dhcpAdapterGuidInvalid);
    return false;
  }
  if (guid != adapterGuid_) {
    fail(status::dhcpForeignAdapter);
    return false;
  }
  writeDebugLog("IP=" + masked(line.ipText) + "\n");
  writeDebugLog("MASK=" + masked(line.maskText) + "\n");
  writeDebugLog("DEF=" + ipv4ToString(defaultGateway) + "\n");
  writeDebugLog("IF=" + line.guidText + "\n");
  if (!line.addressValid) {
    // Ignored as a whole; the lines after it are still OpenVPN's.
    writeDebugLog("ifInvalid\n");
    return true;
  }
  interfaceRecord_.reset(new VpnInterfaceInfo{line.ip, line.mask, defaultGateway});
  writeDebugLog("ifValid\n");
  return true;
}

bool OVPNStateEstablished::onInitCompleted() {
  if (!interfaceRecord_) {
    fail(status::dhcpNoticeMissing);
    return false;
  }
  const VpnInterfaceInfo& record = *interfaceRecord_;
  if (!network_->flushRouteTable(&record)) {
    fail(status::routeCleanFailed);
    return false;
  }
  network_->setInterfaceMetric(adapterGuid_);
  network_->setDns(vpnGateway_, record);
  if (!network_->writeRouteTable(routes_, vpnGateway_, record)) {
    network_->flushRouteTable(&record);
    fail(status::routeWriteFailed);
    return false;
  }
  owner().listener().connected(record.ip);
  return true;
}

void OVPNStateEstablished::writeTranscript(const std::string& line) {
  if (!transcript_) return;
  // A notification's tag stays as it came, even when the password is a part
  // of it: only what follows ">KEY:" can carry the password.
  size_t tagEnd = 0;
  if (!line.empty() && line[0] == '>') {
    const size_t colon = line.find(':');
    if (colon != std::string::npos) tagEnd = colon + 1;
  }
  *transcript_ << line.substr(0, tagEnd) << masked(line.substr(tagEnd)) << '\n';
  transcript_->flush();
}

std::string OVPNStateEstablished::masked(const std::string& text) const {
  if (password_.empty()) return text;
  std::string result = text;
  std::string quoted = quoteManagementArg(password_);
  replaceAll(result, quoted.substr(1, quoted.size() - 2), "***");
  replaceAll(result, password_, "***");
  return result;
}
