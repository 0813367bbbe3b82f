// Plays the client at the hand-off: builds a signed manifest for its own
// folder, takes every content as downloaded, writes "ZAV.upd" and hands over
// through the real startUpdater, which never returns.
//   update_handoff_client UPDATER_CONTENT NEW_CLIENT_CONTENT [LIBRARY_PATH]
// LIBRARY_PATH: where the one required file goes (default "lib.dll").
#include <windows.h>

#include <string>

#include "core/SignatureVerifier.h"
#include "core/Text.h"
#include "tests/support/TestFiles.h"
#include "tests/support/ManifestSigner.h"
#include "update/UpdateManifest.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) return 2;
  std::string libPath = argc == 4 ? toUtf8(argv[3]) : "lib.dll";
  std::string updater = readFileBytes(toUtf8(argv[1]));
  std::string client = readFileBytes(toUtf8(argv[2]));
  std::string lib = "lib";
  std::string json = "{\"entryProgram\":\"" + Sha1Digest::of(client).toHex() + "\",\"updaterProgram\":\"" +
                     Sha1Digest::of(updater).toHex() + "\",\"deletedFiles\":[\"old.txt\"],\"requiredFiles\":{\"" + libPath + "\":\"" +
                     Sha1Digest::of(lib).toHex() + "\"}}";
  std::string pem = readFileBytes(testKeyPath("service-test-public.pem"));
  auto verifier = SignatureVerifier::createFromPem(pem.c_str());
  UpdateManifest manifest(signedManifest(json), *verifier);
  manifest.checkInstalledFiles();
  if (!manifest.updateNeeded()) return 3;
  for (const std::string* content : {&updater, &client, &lib}) manifest.addDownloaded(Sha1Digest::of(*content), *content);
  manifest.writeUpdater();
  manifest.startUpdater();
}
