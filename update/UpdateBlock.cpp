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
  handoff::storeU32(bytes, value);
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
