#include "bridge/win/InstallerSignature.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>
#include <memory>

#include "core/DebugLog.h"
#include "tunnel/win/OVPNSystemWin.h"

namespace {

// The first signer's chain as WinVerifyTrust built it; null when there is none.
const CERT_CHAIN_CONTEXT* signerChain(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  return signer ? signer->pChainContext : nullptr;
}

}  // namespace

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
  // This runs on the GUI's thread: no fetching of missing issuers over the
  // network (a signer's chain comes in its signature).
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  // Not every WinVerifyTrust refuses a chain that ends in an unknown or an
  // untrusted root (Wine's passes both), so the root is checked here as well.
  const CERT_CHAIN_CONTEXT* chain = signerChain(data.hWVTStateData);
  const DWORD rootErrors = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
  bool verifies = result == ERROR_SUCCESS && chain && (chain->TrustStatus.dwErrorStatus & rootErrors) == 0;
  char line[96];
  if (chain) {
    std::snprintf(line, sizeof line, "Installer signature: 0x%08lX, chain 0x%08lX\n", static_cast<unsigned long>(result),
                  static_cast<unsigned long>(chain->TrustStatus.dwErrorStatus));
  } else {
    std::snprintf(line, sizeof line, "Installer signature: 0x%08lX, no chain\n", static_cast<unsigned long>(result));
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  writeDebugLog(line);
  return verifies;
}
