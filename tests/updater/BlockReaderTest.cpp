#include "updater/BlockReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/UpdateBlock.h"
#include "updater/UpdaterFailure.h"

namespace {

handoff::ContentKey keyOf(const std::string& bytes) {
  Sha1Digest digest = Sha1Digest::of(bytes);
  handoff::ContentKey key;
  std::copy(digest.data(), digest.data() + key.size(), key.begin());
  return key;
}

void writeKey(HandoffWriter& writer, const std::string& content) { writer.writeDigest(Sha1Digest::of(content)); }

// A block written by the client's own writer: one delete, two writes sharing
// a content, three contents, the handle. Offsets of each field are noted.
struct SampleBlock {
  std::string bytes;
  std::vector<std::pair<size_t, const wchar_t*>> cuts;  // a cut inside each field, and its message
};

SampleBlock sampleBlock() {
  SampleBlock sample;
  HandoffWriter writer;
  auto cut = [&](size_t into, const wchar_t* message) { sample.cuts.emplace_back(writer.bytes().size() + into, message); };
  cut(2, updaterText::argument5);
  cut(6, updaterText::argument6);
  writer.writeString(L"C:\\Program Files\\ZAV");
  writer.writeString(L"C:\\Program Files\\ZAV\\client.exe");
  cut(19, updaterText::argument7);
  writeKey(writer, "client");
  cut(3, updaterText::argument5);
  writer.writeU32(1);
  cut(5, updaterText::argument6);
  writer.writeString(L"old\\plugin.dll");
  writer.writeU32(2);
  writer.writeString(L"b\\lib.dll");
  cut(1, updaterText::argument7);
  writeKey(writer, "lib");
  writer.writeString(L"donn\u00e9es\\\u6570.dat");
  writeKey(writer, "lib");
  writer.writeU32(3);
  writeKey(writer, "client");
  cut(2, updaterText::argument5);
  writer.writeBytes("client");
  writeKey(writer, "lib");
  cut(4 + 1, updaterText::argument8);
  writer.writeBytes("lib");
  writeKey(writer, "updater");
  writer.writeBytes("updater");
  cut(3, updaterText::argument5);
  writer.writeU32(0x87654321);
  sample.bytes = writer.bytes();
  return sample;
}

// Base folder, main program and main key of a small block.
void writeHead(HandoffWriter& w) {
  w.writeString(L"C:\\a");
  w.writeString(L"C:\\a\\c.exe");
  w.writeDigest(Sha1Digest::of(std::string("c")));
}

const wchar_t* failureOf(const std::string& bytes, uint32_t size) {
  try {
    BlockReader reader(reinterpret_cast<const unsigned char*>(bytes.data()), size);
    readHandoffBlock(reader);
  } catch (const UpdaterFailure& failure) {
    return failure.message();
  }
  return nullptr;
}

TEST(BlockReader, ReadsTheClientsBlockWhole) {
  SampleBlock sample = sampleBlock();
  std::string padded = sample.bytes + "ignored tail";
  BlockReader reader(reinterpret_cast<const unsigned char*>(padded.data()), static_cast<uint32_t>(padded.size()));
  HandoffBlock block = readHandoffBlock(reader);
  EXPECT_EQ(block.baseFolder, L"C:\\Program Files\\ZAV");
  EXPECT_EQ(block.mainProgram, L"C:\\Program Files\\ZAV\\client.exe");
  EXPECT_EQ(block.mainKey, keyOf("client"));
  EXPECT_EQ(block.deletePaths, std::vector<std::wstring>{L"old\\plugin.dll"});
  ASSERT_EQ(block.writeEntries.size(), 2u);
  EXPECT_EQ(block.writeEntries.at(L"b\\lib.dll"), keyOf("lib"));
  EXPECT_EQ(block.writeEntries.at(L"donn\u00e9es\\\u6570.dat"), keyOf("lib"));
  ASSERT_EQ(block.contents.size(), 3u);
  EXPECT_EQ(block.contents.at(keyOf("updater")), "updater");
  EXPECT_EQ(block.contents.at(keyOf("lib")), "lib");
  EXPECT_EQ(block.clientProcess, 0x87654321u);
}

TEST(BlockReader, NamesTheFieldThatIsCutShort) {
  SampleBlock sample = sampleBlock();
  EXPECT_EQ(std::wstring(failureOf(sample.bytes, 0)), updaterText::argument5);
  for (const auto& cut : sample.cuts) {
    ASSERT_LT(cut.first, sample.bytes.size());
    const wchar_t* message = failureOf(sample.bytes, static_cast<uint32_t>(cut.first));
    ASSERT_NE(message, nullptr) << "cut at " << cut.first;
    EXPECT_EQ(std::wstring(message), cut.second) << "cut at " << cut.first;
  }
  EXPECT_EQ(failureOf(sample.bytes, static_cast<uint32_t>(sample.bytes.size())), nullptr);
}

TEST(BlockReader, NeverTrustsCountsOrLengths) {
  struct Case {
    const char* name;
    std::string bytes;
    const wchar_t* message;
  } cases[] = {
      {"string length past the end", std::string("\xFF\xFF\xFF\xFF" "abc", 7), updaterText::argument6},
      {"delete count of 0xFFFFFFFF without entries", [] {
         HandoffWriter w;
         writeHead(w);
         w.writeU32(0xFFFFFFFFu);
         return w.bytes();
       }(), updaterText::argument5},
      {"content length past the end", [] {
         HandoffWriter w;
         writeHead(w);
         w.writeU32(0);
         w.writeU32(0);
         w.writeU32(1);
         w.writeDigest(Sha1Digest::of(std::string("c")));
         w.writeU32(0xFFFFFFF0u);
         w.writeU32(0);
         return w.bytes();
       }(), updaterText::argument8},
      {"path that is not UTF-8", std::string("\x03\0\0\0" "a\xC3(", 7), updaterText::corrupted},
      {"path cut inside a sequence", std::string("\x02\0\0\0" "a\xE6", 6), updaterText::corrupted},
  };
  for (const auto& c : cases) {
    const wchar_t* message = failureOf(c.bytes, static_cast<uint32_t>(c.bytes.size()));
    ASSERT_NE(message, nullptr) << c.name;
    EXPECT_EQ(std::wstring(message), c.message) << c.name;
  }
}

TEST(BlockReader, LaterEntriesForAPathOrKeyWin) {
  HandoffWriter w;
  writeHead(w);
  w.writeU32(0);
  w.writeU32(2);
  w.writeString(L"x.dll");
  w.writeDigest(Sha1Digest::of(std::string("first")));
  w.writeString(L"x.dll");
  w.writeDigest(Sha1Digest::of(std::string("second")));
  w.writeU32(2);
  w.writeDigest(Sha1Digest::of(std::string("second")));
  w.writeBytes("stale");
  w.writeDigest(Sha1Digest::of(std::string("second")));
  w.writeBytes("second");
  w.writeU32(7);
  BlockReader reader(reinterpret_cast<const unsigned char*>(w.bytes().data()), static_cast<uint32_t>(w.bytes().size()));
  HandoffBlock block = readHandoffBlock(reader);
  ASSERT_EQ(block.writeEntries.size(), 1u);
  EXPECT_EQ(block.writeEntries.at(L"x.dll"), keyOf("second"));
  ASSERT_EQ(block.contents.size(), 1u);
  EXPECT_EQ(block.contents.begin()->second, "second");
}

}  // namespace
