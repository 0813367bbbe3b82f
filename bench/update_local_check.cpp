// The update's local check over a client folder of 200 MB in files of mixed
// sizes, next to sha1sum over the same files in the same run. Both read warm
// files; the best of several rounds is shown.
//   bench_update_local_check [megabytes]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/SignatureVerifier.h"
#include "core/Text.h"
#include "tests/support/TestFiles.h"
#include "tests/support/ManifestSigner.h"
#include "update/UpdateManifest.h"

namespace fs = std::filesystem;

namespace {

std::string content(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state);
  }
  return bytes;
}

double seconds(const std::function<void()>& run) {
  auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t total = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200) * 1024 * 1024;
  const size_t sizes[] = {3 * 1024, 40 * 1024, 700 * 1024, 5 * 1024 * 1024, 24 * 1024 * 1024};
  fs::path folder = fs::temp_directory_path() / "zav-bench-local-check";
  fs::remove_all(folder);
  fs::create_directories(folder / "data");

  std::string required = "{";
  std::string clientDigest;
  std::vector<std::string> files;
  size_t written = 0;
  for (uint32_t i = 0; written < total; ++i) {
    size_t size = sizes[i % (sizeof(sizes) / sizeof(sizes[0]))];
    std::string bytes = content(size, i);
    std::string name = i == 0 ? "client.exe" : "data/file" + std::to_string(i) + ".bin";
    std::ofstream(folder / name, std::ios::binary) << bytes;
    files.push_back((folder / name).string());
    if (i == 0) {
      clientDigest = Sha1Digest::of(bytes).toHex();
    } else {
      required += std::string(required.size() > 1 ? "," : "") + "\"" + name + "\":\"" + Sha1Digest::of(bytes).toHex() + "\"";
    }
    written += size;
  }
  required += "}";
  std::string document = "{\"entryProgram\":\"" + clientDigest + "\",\"updaterProgram\":\"" + std::string(40, '0') +
                         "\",\"deletedFiles\":[],\"requiredFiles\":" + required + "}";
  std::string body = signedManifest(document);
  std::string pem = readFileBytes(testKeyPath("service-test-public.pem"));
  auto verifier = SignatureVerifier::createFromPem(pem.c_str());
  std::wstring program = fromUtf8((folder / "client.exe").string());

  std::string command = "sha1sum";
  for (const auto& file : files) command += " '" + file + "'";
  command += " > /dev/null";
  if (std::system(command.c_str()) != 0) {  // also warms the page cache
    std::fprintf(stderr, "sha1sum failed\n");
    return 1;
  }

  const int rounds = 3;
  double check = 1e9, tool = 1e9;
  bool needed = true;
  for (int round = 0; round < rounds; ++round) {
    check = std::min(check, seconds([&] {
      UpdateManifest manifest(body, *verifier);
      manifest.checkInstalledFiles(program);
      needed = manifest.updateNeeded();
    }));
    tool = std::min(tool, seconds([&] { (void)std::system(command.c_str()); }));
  }
  double megabytes = static_cast<double>(written) / (1024 * 1024);
  std::printf("files: %zu, %.0f MiB (sizes 3 KiB to 24 MiB), update needed: %s\n", files.size(), megabytes,
              needed ? "yes (wrong)" : "no");
  std::printf("local check: %.3f s, %.0f MiB/s (parse, verify, read and hash, contents kept)\n", check,
              megabytes / check);
  std::printf("sha1sum:     %.3f s, %.0f MiB/s\n", tool, megabytes / tool);
  std::printf("ratio local check / sha1sum: %.2f\n", check / tool);
  std::printf("ratio update_check %.2f\n", tool / check);
  fs::remove_all(folder);
  return needed ? 1 : 0;
}
