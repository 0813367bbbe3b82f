// The update's local check over a client folder of 200 MB in files of mixed
// sizes, next to an anchor doing the same work in the same run (each file read
// whole into a fresh buffer and SHA-1'd, every content kept until the end, as
// the check keeps them for the update), and next to sha1sum, which keeps
// nothing. All read warm files; the best of several interleaved rounds is
// shown, with the host's cost of touching fresh memory.
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

#include "bench/FirstTouch.h"
#include "core/SignatureVerifier.h"
#include "core/Text.h"
#include "tests/support/TestFiles.h"
#include "tests/support/ManifestSigner.h"
#include "update/Sha1Digest.h"
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

// Reads each file whole into a buffer of its own and hashes it; the contents
// stay until every file is done. False when a file cannot be read or its
// digest is not the one expected.
bool readAndHashKeeping(const std::vector<std::string>& files, const std::vector<Sha1Digest>& digests) {
  std::vector<std::unique_ptr<char[]>> kept;
  kept.reserve(files.size());
  bool ok = true;
  for (size_t i = 0; i < files.size(); ++i) {
    std::FILE* file = std::fopen(files[i].c_str(), "rb");
    if (!file) return false;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    std::unique_ptr<char[]> bytes(new char[size > 0 ? size : 1]);
    const size_t read = std::fread(bytes.get(), 1, static_cast<size_t>(size), file);
    std::fclose(file);
    ok = ok && read == static_cast<size_t>(size) && Sha1Digest::of(bytes.get(), read) == digests[i];
    kept.push_back(std::move(bytes));
  }
  return ok;
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
  std::vector<Sha1Digest> digests;
  size_t written = 0;
  for (uint32_t i = 0; written < total; ++i) {
    size_t size = sizes[i % (sizeof(sizes) / sizeof(sizes[0]))];
    std::string bytes = content(size, i);
    std::string name = i == 0 ? "client.exe" : "data/file" + std::to_string(i) + ".bin";
    std::ofstream(folder / name, std::ios::binary) << bytes;
    files.push_back((folder / name).string());
    digests.push_back(Sha1Digest::of(bytes));
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

  const int rounds = 5;
  double check = 1e9, anchor = 1e9, tool = 1e9;
  bool needed = true, anchorOk = true;
  for (int round = 0; round < rounds; ++round) {
    check = std::min(check, seconds([&] {
      UpdateManifest manifest(body, *verifier);
      manifest.checkInstalledFiles(program);
      needed = manifest.updateNeeded();
    }));
    anchor = std::min(anchor, seconds([&] { anchorOk = readAndHashKeeping(files, digests) && anchorOk; }));
    tool = std::min(tool, seconds([&] { (void)std::system(command.c_str()); }));
  }
  double megabytes = static_cast<double>(written) / (1024 * 1024);
  std::printf("files: %zu, %.0f MiB (sizes 3 KiB to 24 MiB), update needed: %s\n", files.size(), megabytes,
              needed ? "yes (wrong)" : "no");
  std::printf("local check: %.3f s, %.0f MiB/s (parse, verify, read and hash, contents kept)\n", check,
              megabytes / check);
  std::printf("read and hash, contents kept: %.3f s, %.0f MiB/s%s\n", anchor, megabytes / anchor,
              anchorOk ? "" : " (FAILED)");
  std::printf("sha1sum:     %.3f s, %.0f MiB/s (keeps nothing)\n", tool, megabytes / tool);
  bench::printFirstTouch();
  std::printf("ratio update_check %.2f\n", anchor / check);
  std::printf("ratio update_check_vs_sha1sum %.2f\n", tool / check);
  fs::remove_all(folder);
  return needed || !anchorOk ? 1 : 0;
}
