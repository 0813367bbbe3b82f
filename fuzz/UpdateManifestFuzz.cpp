// The manifest document after its signature check: members, path checks and
// the plan of what to download, over a small client folder made at start-up.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

#include "core/Text.h"
#include "fuzz/FuzzCheck.h"
#include "update/RelativePath.h"
#include "update/UpdateManifest.h"

struct UpdateManifestFuzzAccess {
  static UpdateManifest parse(const std::string& document) { return UpdateManifest(document); }
};

namespace {

void writeFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0)
    std::abort();
}

// zav.exe "client", ZAV.upd "updater", a.dll "a", sub/b.dll "b" (the seeds
// name their SHA-1 values), made once.
std::wstring clientProgram() {
  static const std::wstring program = [] {
    char folder[] = "/tmp/zav-fuzz-manifest-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    const std::string base = folder;
    writeFile(base + "/zav.exe", "client");
    writeFile(base + "/ZAV.upd", "updater");
    writeFile(base + "/a.dll", "a");
    if (mkdir((base + "/sub").c_str(), 0700) != 0) std::abort();
    writeFile(base + "/sub/b.dll", "b");
    return fromUtf8(base + "/zav.exe");
  }();
  return program;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring program = clientProgram();
  const std::string document(reinterpret_cast<const char*>(data), size);
  try {
    UpdateManifest manifest = UpdateManifestFuzzAccess::parse(document);
    FUZZ_CHECK(manifest.entryProgram().present() && manifest.updaterProgram().present());
    for (const auto& path : manifest.deletedFiles()) {
      FUZZ_CHECK(relpath::isPlainRelativePath(path));
      FUZZ_CHECK(relpath::comparable(path) != relpath::comparable(updateFileName()));
    }
    for (const auto& entry : manifest.requiredFiles()) {
      FUZZ_CHECK(relpath::isPlainRelativePath(entry.first) && entry.second.present());
      for (const auto& deleted : manifest.deletedFiles()) FUZZ_CHECK(!relpath::isSameOrInside(entry.first, deleted));
      // What the updater receives decodes back to the very path checked.
      FUZZ_CHECK(fromUtf8Checked(toUtf8(entry.first)) == entry.first);
    }

    try {
      manifest.checkInstalledFiles(program);
    } catch (const std::logic_error&) {
      return 0;  // a deletion names the client program
    }
    for (const auto& content : manifest.filesAtHand()) FUZZ_CHECK(Sha1Digest::of(content.second) == content.first);
    const uint32_t missing = manifest.countMissing();
    FUZZ_CHECK(missing <= 2 + manifest.requiredFiles().size());
    const Sha1Digest next = manifest.nextMissing();
    FUZZ_CHECK(next.present() == (missing > 0));
    if (!manifest.filesAtHand().count(manifest.entryProgram())) FUZZ_CHECK(manifest.updateNeeded());
    if (next.present()) {
      FUZZ_CHECK(!manifest.filesAtHand().count(next));
      try {
        manifest.addDownloaded(next, "not the content");
        FUZZ_CHECK(Sha1Digest::of(std::string("not the content")) == next);
      } catch (const std::exception&) {
        FUZZ_CHECK(manifest.countMissing() == missing);
      }
    }
  } catch (const std::exception&) {
  }
  return 0;
}
