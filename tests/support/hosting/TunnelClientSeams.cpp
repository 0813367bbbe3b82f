// The seams of the client's tunnel test copy: the client's own parts
// throughout, but for the tunnel's system, which is the real Windows one
// save for what a Wine prefix can't give a test: the host's network
// configuration is recorded instead, one event a line appended to
// network-record.txt beside the program (read by the test while the client
// runs), and a connection's owner is asked again while Wine does not know it
// yet (tests/support/win/WineOvpnSystem.h). DNS alone also goes through the
// client's own DNS change (the system's netsh, which a test may replace with
// the stand-in, the interfaces' registry settings and the record of what to
// set back under HKLM), both of the tunnel's interfaces taken to be the
// loopback interface, so that a test can show what a run leaves behind.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "bridge/OVPNThreadMachine.h"
#include "core/start/win/ClientSeams.h"
#include "core/win/System.h"
#include "netcfg/Dns.h"
#include "netcfg/win/RegistryDnsRecord.h"
#include "netcfg/win/RegistryDnsSettings.h"
#include "netcfg/win/SystemNetsh.h"
#include "tests/support/RecordingNetworkConfig.h"
#include "tests/support/win/WineOvpnSystem.h"
#include "tests/tunnel/TunnelTestSupport.h"

namespace {

// Appends each event as a line; opened per event so a reader sees every
// finished line at any time.
class FileRecord {
 public:
  explicit FileRecord(std::wstring path) : path_(std::move(path)) {}
  void add(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (FILE* file = _wfopen(path_.c_str(), L"ab")) {
      event += '\n';
      std::fwrite(event.data(), 1, event.size(), file);
      std::fclose(file);
    }
  }

 private:
  std::mutex mutex_;
  std::wstring path_;
};

// Every gateway leads to the loopback interface; the DNS change asks nothing else.
class LoopbackInterfaceTable : public ForwardTable {
 public:
  uint32_t getTable(unsigned char*, uint32_t&) override { return winerror::invalidParameter; }
  uint32_t createEntry(const ForwardRow&) override { return winerror::invalidParameter; }
  uint32_t deleteEntry(const ForwardRow&) override { return winerror::invalidParameter; }
  uint32_t bestInterface(uint32_t, uint32_t& index) override {
    DWORD found = 0;
    const DWORD result = GetBestInterface(htonl(INADDR_LOOPBACK), &found);
    index = found;
    return result;
  }
};

class TunnelCopyNetworkConfig : public RecordingNetworkConfig {
 public:
  explicit TunnelCopyNetworkConfig(std::shared_ptr<FileRecord> record)
      : RecordingNetworkConfig(std::move(record), kAdapterGuid), dns_(table_, netsh_, settings_, dnsRecord_) {}
  void setDns(uint32_t vpnGateway, const VpnInterfaceInfo& record) override {
    RecordingNetworkConfig::setDns(vpnGateway, record);
    dns_.setDns(vpnGateway, record);
  }
  void restoreDns() override {
    RecordingNetworkConfig::restoreDns();
    dns_.restore();
  }

 private:
  LoopbackInterfaceTable table_;
  SystemNetsh netsh_;
  RegistryDnsSettings settings_;
  RegistryDnsRecord dnsRecord_;
  // Last: sets DNS back while the parts above still exist.
  DnsChanger dns_;
};

class TunnelCopySystem : public WineOvpnSystem {
 public:
  explicit TunnelCopySystem(std::shared_ptr<FileRecord> record) : record_(std::move(record)) {}
  std::unique_ptr<NetworkConfig> createNetworkConfig() override {
    record_->add("config made");
    return std::make_unique<TunnelCopyNetworkConfig>(record_);
  }

 private:
  std::shared_ptr<FileRecord> record_;
};

}  // namespace

ControllerSeams clientSeams() {
  ControllerSeams seams;
  auto record = std::make_shared<FileRecord>(joinPath(parentFolder(exePath()), L"network-record.txt"));
  seams.connect.makeTunnel = [record](std::shared_ptr<OVPNListener> listener) {
    return makeOvpnTunnel(std::move(listener), std::make_shared<TunnelCopySystem>(record));
  };
  return seams;
}
