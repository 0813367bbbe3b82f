// The updater's reading of the hand-off block from shared memory.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Text.h"
#include "fuzz/FuzzCheck.h"
#include "updater/BlockReader.h"
#include "updater/UpdaterFailure.h"

namespace {

void checkPath(const std::wstring& path) { FUZZ_CHECK(fromUtf8Checked(toUtf8(path)) == path); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BlockReader reader(data, static_cast<uint32_t>(size));
  try {
    HandoffBlock block = readHandoffBlock(reader);
    checkPath(block.baseFolder);
    checkPath(block.mainProgram);
    size_t bytes = 0;
    for (const auto& path : block.deletePaths) {
      checkPath(path);
      bytes += toUtf8(path).size() + 4;
    }
    for (const auto& entry : block.writeEntries) {
      checkPath(entry.first);
      bytes += toUtf8(entry.first).size() + 4 + entry.second.size();
    }
    for (const auto& content : block.contents) bytes += content.second.size() + 4 + content.first.size();
    // Nothing is read twice: what the block holds fits in its bytes.
    FUZZ_CHECK(bytes <= size);
  } catch (const UpdaterFailure&) {
  }
  return 0;
}
