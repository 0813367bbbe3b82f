#include "bridge/win/InstallerSignature.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>
#include <memory>

#include "core/DebugLog.h"
#include "tunnel/win/OVPNSystemWin.h"

bool installerSignatureVerifies(const std::string& installer) {
  // A copy only the elevated can change, checked and then dropped: what runs
  // later are the bytes held in memory, not this file.
  std::unique_ptr<OVPNInstallerFile> copy = OVPNSystemWin().writeInstaller(installer);
  if (!copy) {
    writeDebugLog("Installer signature: no copy written\n");
    return false;
  }
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = copy->path().c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  char line[64];
  std::snprintf(line, sizeof line, "Installer signature: 0x%08lX\n", static_cast<unsigned long>(result));
  writeDebugLog(line);
  return result == ERROR_SUCCESS;
}
