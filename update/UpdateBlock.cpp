#include "update/UpdateBlock.h"

#include <limits>
#include <stdexcept>

#include "core/NumberError.h"
#include "core/Text.h"
#include "update/UpdateManifest.h"

namespace {

uint32_t checkedCount(size_t count) {
  if (count > std::numeric_limits<uint32_t>::max()) throw std::length_error("update block count too large");
  return static_cast<uint32_t>(count);
}

}  // namespace

void HandoffWriter::writeU32(uint32_t value) {
  unsigned char bytes[4];
  storeU32(bytes, value);
  out_.append(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

void HandoffWriter::writeBytes(const std::string& bytes) {
  writeU32(checkedCount(bytes.size()));
  out_.append(bytes);
}

void HandoffWriter::writeString(const std::wstring& path) { writeBytes(toUtf8(path)); }

void HandoffWriter::writeDigest(const Sha1Digest& digest) {
  if (!digest.present()) throw NumberError(29);
  out_.append(reinterpret_cast<const char*>(digest.data()), Sha1Digest::kSize);
}

std::string serialiseUpdateBlock(const UpdateManifest& manifest) {
  // Sized up front: the contents are the bulk and are copied exactly once here.
  size_t estimate = 4096;
  for (const auto& content : manifest.filesAtHand()) estimate += content.second.size() + 24;
  HandoffWriter writer;
  writer.reserve(estimate);
  writer.writeString(manifest.clientFolder());
  writer.writeString(manifest.clientProgram());
  writer.writeDigest(manifest.entryProgram());
  writer.writeU32(checkedCount(manifest.deletedFiles().size()));
  for (const auto& path : manifest.deletedFiles()) writer.writeString(path);
  writer.writeU32(checkedCount(manifest.requiredFiles().size()));
  for (const auto& entry : manifest.requiredFiles()) {
    writer.writeString(entry.first);
    writer.writeDigest(entry.second);
  }
  writer.writeU32(checkedCount(manifest.filesAtHand().size()));
  for (const auto& content : manifest.filesAtHand()) {
    writer.writeDigest(content.first);
    writer.writeBytes(content.second);
  }
  return writer.take();
}

uint32_t handleToBlockValue(uintptr_t handle) {
  uint32_t value = static_cast<uint32_t>(handle);
  if (blockValueToHandle(value) != handle) throw std::range_error("process handle does not fit the update block");
  return value;
}

uintptr_t blockValueToHandle(uint32_t value) {
  return static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

void storeU32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t loadU32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}
