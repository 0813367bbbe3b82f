// The seams of the client's tunnel test copy: the client's own parts
// throughout, but for the tunnel's system, which is the real Windows one
// save for what a Wine prefix can't give a test: the host's network
// configuration is recorded instead, one event a line appended to
// network-record.txt beside the program (read by the test while the client
// runs), and a connection's owner is asked again while Wine does not know it
// yet (tests/support/win/WineOvpnSystem.h).
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "bridge/OVPNThreadMachine.h"
#include "core/start/win/ClientSeams.h"
#include "core/win/System.h"
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

class TunnelCopySystem : public WineOvpnSystem {
 public:
  explicit TunnelCopySystem(std::shared_ptr<FileRecord> record) : record_(std::move(record)) {}
  std::unique_ptr<NetworkConfig> createNetworkConfig() override {
    record_->add("config made");
    return std::make_unique<RecordingNetworkConfig>(record_, kAdapterGuid);
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
