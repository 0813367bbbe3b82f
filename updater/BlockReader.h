#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "update/UpdateBlockFormat.h"

// The update block the client leaves in shared memory, read with a cursor that
// never passes the size it was given. Each read that lacks bytes throws
// UpdaterFailure with its own message.
using handoff::ContentKey;

struct ContentKeyHash {
  size_t operator()(const ContentKey& key) const { return handoff::loadU32(key.data()); }
};

class BlockReader {
 public:
  BlockReader(const unsigned char* data, uint32_t size) : cursor_(data), remaining_(size) {}

  uint32_t readU32();
  std::string readBytes();
  ContentKey readKey();
  std::string readContent();
  // UTF-8 to UTF-16; bytes that are not UTF-8 are "Corrupted data".
  std::wstring readWidePath();

 private:
  const unsigned char* take(uint32_t count, const wchar_t* shortMessage);

  const unsigned char* cursor_;
  uint32_t remaining_;
};

struct HandoffBlock {
  std::wstring baseFolder;
  std::wstring mainProgram;
  ContentKey mainKey{};
  std::vector<std::wstring> deletePaths;
  std::map<std::wstring, ContentKey> writeEntries;  // a later entry for a path wins
  std::unordered_map<ContentKey, std::string, ContentKeyHash> contents;  // likewise per key
  uint32_t clientProcess = 0;
};

// The whole block in its order. Counts never reserve storage: a count larger
// than what follows fails at the first missing entry.
HandoffBlock readHandoffBlock(BlockReader& reader);
