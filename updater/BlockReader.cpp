#include "updater/BlockReader.h"

#include <utf8.h>

#include <cstring>
#include <iterator>

#include "updater/UpdaterFailure.h"

const unsigned char* BlockReader::take(uint32_t count, const wchar_t* shortMessage) {
  if (count > remaining_) throw UpdaterFailure(shortMessage);
  const unsigned char* at = cursor_;
  cursor_ += count;
  remaining_ -= count;
  return at;
}

uint32_t BlockReader::readU32() {
  return handoff::loadU32(take(4, updaterText::argument5));
}

std::string BlockReader::readBytes() {
  uint32_t length = readU32();
  return std::string(reinterpret_cast<const char*>(take(length, updaterText::argument6)), length);
}

ContentKey BlockReader::readKey() {
  ContentKey key;
  std::memcpy(key.data(), take(static_cast<uint32_t>(key.size()), updaterText::argument7), key.size());
  return key;
}

std::string BlockReader::readContent() {
  uint32_t length = readU32();
  return std::string(reinterpret_cast<const char*>(take(length, updaterText::argument8)), length);
}

std::wstring BlockReader::readWidePath() {
  std::string bytes = readBytes();
  std::wstring path;
  // The checked conversion stays within the path's own bytes and refuses
  // cut or invalid sequences instead of guessing a name to write.
  try {
    utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(path));
  } catch (const utf8::exception&) {
    throw UpdaterFailure(updaterText::corrupted);
  }
  return path;
}

HandoffBlock readHandoffBlock(BlockReader& reader) {
  HandoffBlock block;
  block.baseFolder = reader.readWidePath();
  block.mainProgram = reader.readWidePath();
  block.mainKey = reader.readKey();
  for (uint32_t n = reader.readU32(); n > 0; --n) block.deletePaths.push_back(reader.readWidePath());
  for (uint32_t n = reader.readU32(); n > 0; --n) {
    std::wstring path = reader.readWidePath();
    block.writeEntries[path] = reader.readKey();
  }
  for (uint32_t n = reader.readU32(); n > 0; --n) {
    ContentKey key = reader.readKey();
    block.contents[key] = reader.readContent();
  }
  block.clientProcess = reader.readU32();
  return block;
}
