#pragma once

#include <memory>
#include <string>

#include "tunnel/OVPNState.h"

class OVPNInstallerFile;
class OVPNProcess;

// Writes the OpenVPN installer out and runs it silently: exit code 0 reports
// installed and looks again ("find"); anything else fails to idle.
class OVPNStateInstall : public OVPNState {
 public:
  // The silent installation's switches: no shortcuts, service, GUI, file
  // associations or path change.
  static constexpr const wchar_t* switches =
      L" /S /SELECT_SHORTCUTS=0 /SELECT_SERVICE=0 /SELECT_OPENVPNGUI=0 /SELECT_ASSOCIATIONS=0 /SELECT_PATH=0";

  OVPNStateInstall(OVPNThread& owner, std::string installerData);
  // Ends a running installer and waits for it, then deletes its file.
  ~OVPNStateInstall() override;
  void enter() override;
  const char* name() const override { return "inst"; }

 private:
  void run();
  void onInstallerExit();

  std::string installerData_;
  std::unique_ptr<OVPNInstallerFile> installer_;  // once written, until the state ends
  std::unique_ptr<OVPNProcess> process_;          // once started, until the state ends
};
