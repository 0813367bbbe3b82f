// Writes the signed update manifest ("/desc") of a client folder as it is, so
// that the client's update check finds it up to date (for the demo run):
//   make_manifest CLIENT_PROGRAM OUT_FILE
// "ZAV.upd" beside CLIENT_PROGRAM, when there, is the updater it names.
// Exit code 0 on success, 1 when a file can't be read or written, 2 on bad use.
#include <windows.h>

#include <exception>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/ManifestSigner.h"

namespace {

bool readWhole(const std::wstring& path, std::string& bytes) {
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  std::wstring program = argv[1];
  std::string client;
  if (!readWhole(program, client)) return 1;
  size_t separator = program.find_last_of(L"\\/");
  std::wstring folder = separator == std::wstring::npos ? L"." : program.substr(0, separator);
  std::string updater;
  bool hasUpdater = readWhole(folder + L"\\ZAV.upd", updater);
  try {
    std::string manifest = upToDateManifest(client, hasUpdater ? &updater : nullptr);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << manifest;
    out.close();
    return out ? 0 : 1;
  } catch (const std::exception&) {
    return 1;
  }
}
