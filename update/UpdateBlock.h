#pragma once

// The client's writer of the hand-off block (its layout, the contract across
// releases, is in update/UpdateBlockFormat.h).
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "update/Sha1Digest.h"
#include "update/UpdateBlockFormat.h"

class UpdateManifest;

// The client writes each content's SHA-1 as its key.
static_assert(Sha1Digest::kSize == handoff::kKeySize, "a content key is a SHA-1");

class HandoffWriter {
 public:
  void writeU32(uint32_t value);
  // A u32 length and the bytes; std::length_error past 4 GiB.
  void writeBytes(const std::string& bytes);
  void writeString(const std::wstring& path);
  // NumberError 29 for an absent digest.
  void writeDigest(const Sha1Digest& digest);
  void reserve(size_t size) { out_.reserve(size); }
  const std::string& bytes() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Everything but the handle, which only exists once the updater process does.
std::string serialiseUpdateBlock(const UpdateManifest& manifest);
