#pragma once

#include <memory>
#include <string>

#include "tunnel/OVPNSystem.h"

// The tunnel states' Windows calls. The installations are read from
// HKEY_LOCAL_MACHINE only (in the 64-bit view under WOW64): the client runs
// elevated, and a value the user can write would choose the program it starts.
class OVPNSystemWin : public OVPNSystem {
 public:
  // folderParent: where the installer, the configuration file and every
  // program started (OpenVPN, the installer, tapinstall: their current folder,
  // TMP and TEMP) get their admin-only folders; the Windows folder's Temp when
  // empty (never the user's own temporary folder, which the user's
  // environment names). transcriptFolder: where the OpenVPN transcripts go;
  // the client's logs folder when empty.
  explicit OVPNSystemWin(std::wstring folderParent = std::wstring(),
                         std::wstring transcriptFolder = std::wstring());

  bool findOpenVpn(std::wstring& programPath) override;
  bool findTapWindows(std::wstring& tapFolder) override;
  std::unique_ptr<OVPNInstallerFile> writeInstaller(const std::string& bytes) override;
  std::unique_ptr<OVPNProcess> startProgram(const std::wstring& programPath, const std::wstring& commandLine) override;
  std::unique_ptr<OVPNStopSignal> createStopSignal() override;
  int prepareTapAdapter(const std::wstring& tapFolder, OVPNStopSignal& stopSignal, AdapterGuid& adapterGuid) override;
  std::unique_ptr<OVPNConfigFile> writeConfigFile(const std::string& text) override;
  // Over the IPv4 TCP table with owning process ids (GetExtendedTcpTable).
  bool isConnectionOf(const OVPNProcess& process, uint16_t localPort, uint16_t peerPort) override;
  std::unique_ptr<NetworkConfig> createNetworkConfig() override;
  std::unique_ptr<std::ostream> openTranscript(const std::string& fileName) override;

 private:
  std::wstring folderParent_;
  std::wstring transcriptFolder_;
};
