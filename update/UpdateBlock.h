#pragma once

// The hand-off block the client gives the updater through shared memory. Its
// layout is read by updaters of other releases, so it never changes: no header,
// every number a little-endian u32, a string a u32 byte count and its UTF-8
// bytes, a ContentKey 20 raw bytes, in this order:
//   base folder, main program path, main key,
//   delete count, delete paths,
//   write count, (path, key) pairs,
//   content count, (key, u32 length, bytes) entries,
//   the client's process handle as a u32, valid inside the updater.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "update/Sha1Digest.h"

class UpdateManifest;

// The client writes each content's SHA-1 as its key.
using ContentKey = std::array<uint8_t, Sha1Digest::kSize>;

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

// The handle travels as 32 bits on every build: 64-bit Windows keeps handle
// values within 32 bits and sign-extends them, so a truncated value comes back
// whole. std::range_error for a value that would not.
uint32_t handleToBlockValue(uintptr_t handle);
uintptr_t blockValueToHandle(uint32_t value);

// Little-endian u32 into and out of raw bytes.
void storeU32(unsigned char* at, uint32_t value);
uint32_t loadU32(const unsigned char* at);
