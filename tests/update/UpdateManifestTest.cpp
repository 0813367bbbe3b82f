#include "update/UpdateManifest.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/NumberError.h"
#include "core/SignatureVerifier.h"
#include "core/Text.h"
#include "tests/support/TestFiles.h"
#include "tests/support/ManifestSigner.h"
#include "update/UpdateBlock.h"

namespace fs = std::filesystem;

namespace {

const std::string kClient = "client program bytes";
const std::string kUpdater = "updater program bytes";
const std::string kLib = "library bytes";
const std::string kData = "data bytes";

std::string hexOf(const std::string& bytes) { return Sha1Digest::of(bytes).toHex(); }

std::string document(const std::string& deleted = "[]", const std::string& required = "{}") {
  return "{\"entryProgram\":\"" + hexOf(kClient) + "\",\"updaterProgram\":\"" + hexOf(kUpdater) +
         "\",\"deletedFiles\":" + deleted + ",\"requiredFiles\":" + required + ",\"other\":[1,2]}";
}

std::unique_ptr<SignatureVerifier> testVerifier() {
  std::string pem = readFileBytes(testKeyPath("service-test-public.pem"));
  return SignatureVerifier::createFromPem(pem.c_str());
}

UpdateManifest parse(const std::string& body) {
  auto verifier = testVerifier();
  return UpdateManifest(body, *verifier);
}

UpdateManifest parseDocument(const std::string& json) { return parse(signedManifest(json)); }

// The code of the NumberError, -1 for a logic_error (message in *message), 0 for none.
int failureOf(const std::string& body, std::string* message) {
  try {
    parse(body);
  } catch (const NumberError& error) {
    return error.code();
  } catch (const std::logic_error& error) {
    *message = error.what();
    return -1;
  }
  return 0;
}

std::string withSignatureBytes(const std::string& json, size_t length) {
  std::string signature = signSha512(json);
  signature.resize(length, 'x');
  return base64Encode(json) + "\n" + base64Encode(signature);
}

TEST(UpdateManifestParse, RefusesEachMalformedBodyWithItsCode) {
  const std::string digest = hexOf(kClient);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  std::string tampered = signedManifest(document());
  tampered[3] = tampered[3] == 'A' ? 'B' : 'A';
  struct Case {
    const char* name;
    std::string body;
    int code;
  } cases[] = {
      {"no line feed", base64Encode(document()), 1},
      {"line feed first", "\n" + base64Encode(signSha512(document())), 9},
      {"CRLF line end", base64Encode(document()) + "\r\n" + base64Encode(signSha512(document())), 9},
      {"empty signature part", base64Encode(document()) + "\n", 9},
      {"document not base64", "!!!!\n" + base64Encode(signSha512(document())), 9},
      {"unpadded base64 document", "QQ\n" + base64Encode(signSha512(document())), 10},
      {"signature of 255 bytes", withSignatureBytes(document(), 255), 2},
      {"signature of 257 bytes", withSignatureBytes(document(), 257), 2},
      {"document changed after signing", tampered, 3},
      {"signature of another document", base64Encode(document()) + "\n" + base64Encode(signSha512(document("[\"x\"]"))), 3},
      {"not JSON", signedManifest("{\"entryProgram\":"), 4},
      {"required value not a string", signedManifest(document("[]", "{\"a.dll\":5}")), 5},
      {"digest of 39 characters", signedManifest(document("[]", "{\"a.dll\":\"" + digest.substr(1) + "\"}")), 6},
      {"digest of 41 characters", signedManifest(document("[]", "{\"a.dll\":\"" + digest + "0\"}")), 6},
      {"deleted element not a string", signedManifest(document("[\"a\",3]")), 7},
      {"uppercase digest", signedManifest(document("[]", "{\"a.dll\":\"" + upper + "\"}")), 8},
  };
  for (const auto& c : cases) {
    std::string message;
    EXPECT_EQ(failureOf(c.body, &message), c.code) << c.name << " " << message;
  }
}

TEST(UpdateManifestParse, DeeplyNestedDocumentDoesNotExhaustTheStack) {
  const size_t depth = 200000;
  std::string deep = document();
  deep.insert(deep.size() - 1, ",\"deep\":" + std::string(depth, '[') + std::string(depth, ']'));
  EXPECT_EQ(parseDocument(deep).entryProgram().toHex(), hexOf(kClient));
  std::string message;
  EXPECT_EQ(failureOf(signedManifest("{\"deep\":" + std::string(depth, '[')), &message), 4);
}

TEST(UpdateManifestParse, RefusesMissingAndMistypedMembersByKey) {
  const std::string entry = "\"entryProgram\":\"" + hexOf(kClient) + "\"";
  const std::string updater = "\"updaterProgram\":\"" + hexOf(kUpdater) + "\"";
  struct Case {
    std::string json;
    std::string message;
  } cases[] = {
      {"[1,2]", "entryProgram not found"},
      {"\"text\"", "entryProgram not found"},
      {"{}", "entryProgram not found"},
      {"{\"entryProgram\":7}", "entryProgram is in incorrect type"},
      {"{" + entry + "}", "updaterProgram not found"},
      {"{" + entry + "," + updater + ",\"requiredFiles\":{}}", "deletedFiles not found"},
      {"{" + entry + "," + updater + ",\"deletedFiles\":{},\"requiredFiles\":{}}", "deletedFiles is in incorrect type"},
      {"{" + entry + "," + updater + ",\"deletedFiles\":[]}", "requiredFiles not found"},
      {"{" + entry + "," + updater + ",\"deletedFiles\":[],\"requiredFiles\":[]}", "requiredFiles is in incorrect type"},
  };
  for (const auto& c : cases) {
    std::string message;
    EXPECT_EQ(failureOf(signedManifest(c.json), &message), -1) << c.json;
    EXPECT_EQ(message, c.message) << c.json;
  }
}

// The updater deletes and writes these below the client folder: a manifest
// that would reach elsewhere, or remove what it writes, is never applied.
TEST(UpdateManifestParse, RefusesPathsOutsideTheClientFolderOrInConflict) {
  const std::string lib = "\"" + hexOf(kLib) + "\"";
  const char* unusable[] = {"", ".", "..", "..\\\\x.dll", "a/../../x.dll", "sub\\\\..\\\\..\\\\x", "\\\\x.dll",
                            "/x.dll", "C:x.dll", "C:\\\\x.dll", "\\\\\\\\server\\\\share\\\\x.dll",
                            "a.dll:stream", "sub\\\\", "a\\\\\\\\b", "name.", "name ", "a*b"};
  for (const char* path : unusable) {
    std::string message;
    EXPECT_EQ(failureOf(signedManifest(document("[\"" + std::string(path) + "\"]")), &message), -1) << path;
    EXPECT_EQ(failureOf(signedManifest(document("[]", "{\"" + std::string(path) + "\":" + lib + "}")), &message), -1)
        << path;
  }
  struct Case {
    const char* name;
    std::string json;
  } conflicts[] = {
      {"deleted and written", document("[\"a.dll\"]", "{\"a.dll\":" + lib + "}")},
      {"deleted and written in another case", document("[\"A.DLL\"]", "{\"a.dll\":" + lib + "}")},
      {"written inside a deleted folder", document("[\"plugins\"]", "{\"plugins/a.dll\":" + lib + "}")},
      {"updater deleted", document("[\"zav.upd\"]")},
      {"updater written", document("[]", "{\"ZAV.upd\":" + lib + "}")},
  };
  for (const auto& c : conflicts) {
    std::string message;
    EXPECT_EQ(failureOf(signedManifest(c.json), &message), -1) << c.name;
  }
}

// The updater decodes the hand-off block's paths with a checked decoder, so a
// path is usable only when it is UTF-8 and the client checks the very path the
// updater will read.
TEST(UpdateManifestParse, RefusesPathsThatAreNotUtf8) {
  const std::string lib = "\"" + hexOf(kLib) + "\"";
  struct Case {
    const char* name;
    std::string json;
  } cases[] = {
      // The surrogate once merged with the "/" into U+242F: one path deleted and written.
      {"encoded surrogate hiding a separator", document("[\"d\xED\xA0\x80/x\"]", "{\"d\\u242Fx\":" + lib + "}")},
      {"encoded surrogate alone", document("[\"a\xED\xA0\x80\"]")},
      {"lone low surrogate escape", document("[\"a\\udc00\"]")},
      {"lone low surrogate escape in a written name", document("[]", "{\"\\udc00.dll\":" + lib + "}")},
      {"encoded low surrogate in a written name", document("[]", "{\"\xED\xB0\x80.dll\":" + lib + "}")},
      {"overlong slash", document("[\"a\xC0\xAF" "b\"]")},
      {"cut sequence", document("[\"x\xC3\"]")},
      {"lead byte F8", document("[]", "{\"\xF8.dll\":" + lib + "}")},
      {"byte FF", document("[\"\xFF\"]")},
  };
  for (const auto& c : cases) {
    std::string message;
    EXPECT_EQ(failureOf(signedManifest(c.json), &message), -1) << c.name;
  }
}

TEST(UpdateManifestParse, ReadsFieldsInPathOrderWithLaterDuplicatesWinning) {
  const std::string body = signedManifest(
      document("[\"old\\\\b.txt\",\"old\",\"old\\\\b.txt\",\"C.txt\"]",
               "{\"z.dll\":\"" + hexOf(kLib) + "\",\"a.dll\":\"" + hexOf(kClient) + "\",\"z.dll\":\"" +
                   hexOf(kData) + "\",\"B.dll\":\"" + hexOf(kLib) + "\"}")) +
                           "\n";
  UpdateManifest manifest = parse(body);
  EXPECT_EQ(manifest.entryProgram().toHex(), hexOf(kClient));
  EXPECT_EQ(manifest.updaterProgram().toHex(), hexOf(kUpdater));
  EXPECT_FALSE(manifest.updateNeeded());
  EXPECT_EQ(std::vector<std::wstring>(manifest.deletedFiles().begin(), manifest.deletedFiles().end()),
            (std::vector<std::wstring>{L"C.txt", L"old", L"old\\b.txt"}));
  std::vector<std::pair<std::wstring, std::string>> required;
  for (const auto& entry : manifest.requiredFiles()) required.emplace_back(entry.first, entry.second.toHex());
  EXPECT_EQ(required, (std::vector<std::pair<std::wstring, std::string>>{
                          {L"B.dll", hexOf(kLib)}, {L"a.dll", hexOf(kClient)}, {L"z.dll", hexOf(kData)}}));
}

TEST(UpdateManifestParse, ConvertsNonAsciiPaths) {
  UpdateManifest manifest = parseDocument(document(
      "[\"donn\xC3\xA9" "es\"]",
      "{\"\xE6\x95\xB0.dll\":\"" + hexOf(kLib) + "\",\"\\ud83c\\udfae\\\\\xF0\x9F\x8E\xAE\":\"" + hexOf(kLib) + "\"}"));
  EXPECT_EQ(*manifest.deletedFiles().begin(), std::wstring(L"donn\u00e9es"));
  // U+1F3AE, once escaped as a pair and once as raw bytes, is a pair in UTF-16.
  std::wstring gamepads;
  for (int unit : {0xD83C, 0xDFAE, 0x5C, 0xD83C, 0xDFAE}) gamepads.push_back(static_cast<wchar_t>(unit));
  ASSERT_EQ(manifest.requiredFiles().size(), 2u);
  EXPECT_EQ(manifest.requiredFiles().begin()->first, std::wstring(L"\u6570.dll"));
  EXPECT_EQ(manifest.requiredFiles().rbegin()->first, gamepads);
  // What the hand-off block will carry is the text that was checked.
  EXPECT_EQ(toUtf8(gamepads), "\xF0\x9F\x8E\xAE\\\xF0\x9F\x8E\xAE");
}

TEST(Sha1DigestText, RoundTripsAndComparesAbsentDigests) {
  Sha1Digest abc = Sha1Digest::of(std::string("abc"));
  EXPECT_EQ(abc.toHex(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Sha1Digest::fromHex(abc.toHex()), abc);
  EXPECT_EQ(Sha1DigestHash()(abc), 0x363e99a9u);
  Sha1Digest absent;
  EXPECT_EQ(absent.toHex(), "");
  EXPECT_EQ(Sha1DigestHash()(absent), 0u);
  EXPECT_TRUE(Sha1Digest::equals(absent, Sha1Digest()));
  EXPECT_FALSE(Sha1Digest::equals(absent, abc));
  EXPECT_FALSE(Sha1Digest::equals(abc, absent));
}

// A client folder of its own per test.
class LocalCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("zav-update-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  void put(const std::string& relative, const std::string& bytes) {
    fs::path path = folder_ / fs::u8path(relative);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::wstring program() const { return fromUtf8((folder_ / "client.exe").u8string()); }
  UpdateManifest checked(const std::string& json) {
    UpdateManifest manifest = parseDocument(json);
    manifest.checkInstalledFiles(program());
    return manifest;
  }

  fs::path folder_;
};

TEST_F(LocalCheck, MatchingInstallationNeedsNothingAndKeepsItsContents) {
  put("client.exe", kClient);
  put("ZAV.upd", kUpdater);
  put("lib/a.dll", kLib);
  UpdateManifest manifest = checked(document("[\"gone.txt\"]", "{\"lib/a.dll\":\"" + hexOf(kLib) + "\"}"));
  EXPECT_FALSE(manifest.updateNeeded());
  EXPECT_EQ(manifest.countMissing(), 0u);
  EXPECT_FALSE(manifest.nextMissing().present());
  EXPECT_EQ(manifest.filesAtHand().size(), 3u);
  EXPECT_EQ(manifest.filesAtHand().at(Sha1Digest::of(kLib)), kLib);
  EXPECT_EQ(manifest.clientFolder(), fromUtf8(folder_.u8string()));
}

TEST_F(LocalCheck, DecidesWhetherAnUpdateIsNeeded) {
  const std::string lib = "{\"a.dll\":\"" + hexOf(kLib) + "\"}";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> folders;
    std::string json;
    bool needed;
  } cases[] = {
      {"only the updater differs", {{"client.exe", kClient}, {"ZAV.upd", "old"}, {"a.dll", kLib}}, {}, document("[]", lib), false},
      {"updater missing", {{"client.exe", kClient}, {"a.dll", kLib}}, {}, document("[]", lib), false},
      {"client program differs", {{"client.exe", "old"}, {"a.dll", kLib}}, {}, document("[]", lib), true},
      {"client program missing", {{"a.dll", kLib}}, {}, document("[]", lib), true},
      {"required file differs", {{"client.exe", kClient}, {"a.dll", "old"}}, {}, document("[]", lib), true},
      {"required file missing", {{"client.exe", kClient}}, {}, document("[]", lib), true},
      {"required path is a folder", {{"client.exe", kClient}}, {"a.dll"}, document("[]", lib), true},
      {"deleted file present", {{"client.exe", kClient}, {"old.txt", ""}}, {}, document("[\"old.txt\"]"), true},
      {"deleted folder present", {{"client.exe", kClient}}, {"old"}, document("[\"old\"]"), true},
      {"empty file matches", {{"client.exe", kClient}, {"e.txt", ""}}, {}, document("[]", "{\"e.txt\":\"" + hexOf("") + "\"}"), false},
  };
  for (const auto& c : cases) {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    for (const auto& file : c.files) put(file.first, file.second);
    for (const auto& f : c.folders) fs::create_directories(folder_ / f);
    EXPECT_EQ(checked(c.json).updateNeeded(), c.needed) << c.name;
  }
}

// Files are read ahead of their hashing, in pieces: every file, of any size
// and in any mix with missing ones and folders, is judged by its own bytes.
TEST_F(LocalCheck, FilesReadAheadAreEachJudgedByTheirOwnWholeBytes) {
  std::string required = "{";
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "f" + std::to_string(10 + i) + ".bin";
    // 0, 1 and several 256 KiB pieces, a piece boundary exactly, and odd sizes.
    const size_t sizes[] = {0, 1, 256 << 10, (256 << 10) + 1, 700001, 3 << 20};
    std::string bytes(sizes[(i / 2) % 6], '\0');
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>((k * 31 + i * 7) >> 3);
    if (i % 4 == 1) {
      fs::create_directories(folder_ / name);  // a folder where a file belongs
    } else if (i % 4 != 3) {
      put(name, i == 10 ? bytes + "x" : bytes);  // f20 differs; f13, f17 and f21 are missing
    }
    if (i % 4 == 0 || i % 4 == 2) expected[name] = bytes;
    required += std::string(i ? "," : "") + "\"" + name + "\":\"" + hexOf(bytes) + "\"";
  }
  required += "}";
  put("client.exe", kClient);
  UpdateManifest manifest = checked(document("[]", required));
  EXPECT_TRUE(manifest.updateNeeded());
  size_t atHand = 0;
  for (const auto& entry : expected) {
    const Sha1Digest digest = Sha1Digest::of(entry.second);
    if (entry.first == "f20.bin") {
      EXPECT_EQ(manifest.filesAtHand().count(digest), 0u);
      continue;
    }
    ASSERT_EQ(manifest.filesAtHand().count(digest), 1u) << entry.first;
    EXPECT_TRUE(manifest.filesAtHand().at(digest) == entry.second) << entry.first;
    ++atHand;
  }
  EXPECT_EQ(manifest.filesAtHand().size(), atHand + 1);  // and the client program
}

#ifdef _WIN32
// A present file the check cannot open ends it with 11, whatever the files
// read ahead after it hold.
TEST_F(LocalCheck, AFileThatCannotBeOpenedEndsTheCheckWith11) {
  put("client.exe", kClient);
  put("a.dll", kLib);
  put("b.dll", kLib);
  HANDLE held = CreateFileW(fromUtf8((folder_ / "a.dll").u8string()).c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  UpdateManifest manifest = parseDocument(
      document("[]", "{\"a.dll\":\"" + hexOf(kLib) + "\",\"b.dll\":\"" + hexOf(kLib) + "\"}"));
  int code = 0;
  try {
    manifest.checkInstalledFiles(program());
  } catch (const NumberError& error) {
    code = error.code();
  }
  CloseHandle(held);
  EXPECT_EQ(code, 11);
}
#endif

TEST_F(LocalCheck, RefusesToDeleteTheClientProgram) {
  put("client.exe", kClient);
  UpdateManifest manifest = parseDocument(document("[\"Client.EXE\"]"));
  EXPECT_THROW(manifest.checkInstalledFiles(program()), std::logic_error);
}

// Every path must fit the client's join and the updater's: the joined path in
// 260 units with its terminator, and its folder with room for the updater's
// temporary names (29 units with separator and terminator). The folder need
// not exist: the lengths are checked before anything is looked at.
TEST(PathLengths, RefusesEachPathThatOneBufferCannotHold) {
#ifdef _WIN32
  const std::wstring root = L"C:\\";
#else
  const std::wstring root = L"/";
#endif
  const std::wstring folder = root + std::wstring(100 - root.size(), L'f');
  const std::string lib = "\"" + hexOf(kLib) + "\"";
  auto name = [](size_t units) { return std::string(units, 'n'); };
  // A folder of `units` below the client folder, holding "a".
  auto deep = [](size_t units) { return std::string(units - 2, 'd') + "/e/a"; };
  struct Case {
    const char* name;
    std::string deleted, required;  // one path each, or none
    std::wstring folder;
    bool fits;
  } cases[] = {
      {"joined path of 259 units", "", name(158), folder, true},
      {"joined path of 260 units", "", name(159), folder, false},
      {"deleted path of 260 units", name(159), "", folder, false},
      {"target folder leaving 29 units", "", deep(130), folder, true},
      {"target folder leaving 28 units", "", deep(131), folder, false},
      {"deleted target folder leaving 28 units", deep(131), "", folder, false},
      // Four-byte UTF-8 characters are two units each.
      {"units, not characters", "", name(157) + "\xF0\x9F\x98\x80", folder, false},
      {"client folder leaving 29 units", "", "", root + std::wstring(231 - root.size(), L'f'), true},
      {"client folder leaving 28 units", "", "", root + std::wstring(232 - root.size(), L'f'), false},
  };
  for (const Case& c : cases) {
    std::string deleted = c.deleted.empty() ? "[]" : "[\"" + c.deleted + "\"]";
    std::string required = c.required.empty() ? "{}" : "{\"" + c.required + "\":" + lib + "}";
    UpdateManifest manifest = parseDocument(document(deleted, required));
    std::wstring program = c.folder + root.back() + L"client.exe";
    if (c.fits) {
      EXPECT_NO_THROW(manifest.checkInstalledFiles(program)) << c.name;
      EXPECT_TRUE(manifest.updateNeeded()) << c.name;
    } else {
      EXPECT_THROW(manifest.checkInstalledFiles(program), std::logic_error) << c.name;
    }
  }
}

TEST_F(LocalCheck, CountsAndOffersMissingContentsOnceInOrder) {
  // a.dll and c.dll share one content; b.dll's is at hand.
  put("b.dll", kData);
  UpdateManifest manifest = checked(document(
      "[]", "{\"c.dll\":\"" + hexOf(kLib) + "\",\"a.dll\":\"" + hexOf(kLib) + "\",\"b.dll\":\"" + hexOf(kData) + "\"}"));
  EXPECT_TRUE(manifest.updateNeeded());
  EXPECT_EQ(manifest.countMissing(), 3u);
  std::vector<std::string> offered;
  for (Sha1Digest next = manifest.nextMissing(); next.present(); next = manifest.nextMissing()) {
    offered.push_back(next.toHex());
    ASSERT_LT(offered.size(), 5u);
    const std::string& bytes = next == Sha1Digest::of(kUpdater) ? kUpdater : next == Sha1Digest::of(kClient) ? kClient : kLib;
    manifest.addDownloaded(next, bytes);
    EXPECT_EQ(manifest.countMissing(), 3u - offered.size());
  }
  EXPECT_EQ(offered, (std::vector<std::string>{hexOf(kUpdater), hexOf(kClient), hexOf(kLib)}));
}

TEST_F(LocalCheck, AddDownloadedRefusesWrongBytesAndKeepsRightOnes) {
  UpdateManifest manifest = checked(document());
  Sha1Digest updater = Sha1Digest::of(kUpdater);
  try {
    manifest.addDownloaded(updater, kClient);
    FAIL() << "wrong bytes stored";
  } catch (const NumberError& error) {
    EXPECT_EQ(error.code(), 16);
  }
  EXPECT_EQ(manifest.filesAtHand().count(updater), 0u);
  EXPECT_EQ(manifest.filesAtHand().count(Sha1Digest::of(kClient)), 0u);
  manifest.addDownloaded(updater, kUpdater);
  manifest.addDownloaded(updater, kUpdater);
  EXPECT_EQ(manifest.filesAtHand().size(), 1u);
  EXPECT_EQ(manifest.nextMissing(), Sha1Digest::of(kClient));
}

TEST_F(LocalCheck, WritesTheUpdaterOnlyWhenItsContentIsAtHand) {
  UpdateManifest manifest = checked(document());
  try {
    manifest.writeUpdater();
    FAIL() << "wrote an updater it does not have";
  } catch (const NumberError& error) {
    EXPECT_EQ(error.code(), 17);
  }
  manifest.addDownloaded(Sha1Digest::of(kUpdater), kUpdater);
  put("ZAV.upd", "an older, longer updater file");
  manifest.writeUpdater();
  EXPECT_EQ(readFileBytes((folder_ / "ZAV.upd").string()), kUpdater);

  fs::remove_all(folder_);
  try {
    manifest.writeUpdater();
    FAIL() << "wrote into a missing folder";
  } catch (const NumberError& error) {
    EXPECT_EQ(error.code(), 19);
  }
}

// The block as the updater will see it, read here independently of both the
// writer and the updater's own reader.
struct ReadBlock {
  std::string base, program, mainKey;
  std::vector<std::string> deletes;
  std::vector<std::pair<std::string, std::string>> writes;  // path, key
  std::map<std::string, std::string> contents;              // key, bytes
  size_t contentEntries = 0;
  size_t end = 0;
};

ReadBlock readBack(const std::string& block) {
  ReadBlock out;
  size_t at = 0;
  auto u32 = [&] {
    EXPECT_LE(at + 4, block.size());
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(block.at(at + i));
    at += 4;
    return value;
  };
  auto bytes = [&](size_t n) {
    std::string piece = block.substr(at, n);
    EXPECT_EQ(piece.size(), n);
    at += n;
    return piece;
  };
  auto text = [&] { return bytes(u32()); };
  out.base = text();
  out.program = text();
  out.mainKey = bytes(20);
  for (uint32_t n = u32(); n > 0; --n) out.deletes.push_back(text());
  for (uint32_t n = u32(); n > 0; --n) {
    std::string path = text();
    out.writes.emplace_back(path, bytes(20));
  }
  for (uint32_t n = u32(); n > 0; --n, ++out.contentEntries) {
    std::string key = bytes(20);
    out.contents[key] = text();
  }
  out.end = at;
  return out;
}

std::string rawKey(const std::string& content) {
  Sha1Digest digest = Sha1Digest::of(content);
  return std::string(reinterpret_cast<const char*>(digest.data()), 20);
}

TEST_F(LocalCheck, SerialisesTheWholeUpdateForTheUpdater) {
  put("client.exe", "old client");
  UpdateManifest manifest = checked(document(
      "[\"z.txt\",\"donn\\u00e9es\"]",
      "{\"b\\\\\\u6570.dll\":\"" + hexOf(kLib) + "\",\"a.dll\":\"" + hexOf(kLib) + "\",\"c.dat\":\"" + hexOf(kData) + "\"}"));
  for (const std::string* content : {&kUpdater, &kClient, &kLib, &kData})
    manifest.addDownloaded(Sha1Digest::of(*content), *content);
  std::string block = serialiseUpdateBlock(manifest);
  ReadBlock read = readBack(block);
  EXPECT_EQ(read.end, block.size()) << "the handle is not the writer's";
  EXPECT_EQ(read.base, folder_.u8string());
  EXPECT_EQ(read.program, (folder_ / "client.exe").u8string());
  EXPECT_EQ(read.mainKey, rawKey(kClient));
  EXPECT_EQ(read.deletes, (std::vector<std::string>{"donn\xC3\xA9" "es", "z.txt"}));
  // Path order; two paths of one content share its key and its one entry.
  EXPECT_EQ(read.writes, (std::vector<std::pair<std::string, std::string>>{
                             {"a.dll", rawKey(kLib)}, {"b\\\xE6\x95\xB0.dll", rawKey(kLib)}, {"c.dat", rawKey(kData)}}));
  EXPECT_EQ(read.contentEntries, 4u);
  EXPECT_EQ(read.contents, (std::map<std::string, std::string>{{rawKey(kUpdater), kUpdater},
                                                                {rawKey(kClient), kClient},
                                                                {rawKey(kLib), kLib},
                                                                {rawKey(kData), kData}}));
}

TEST_F(LocalCheck, BlockOfAnUpdateWithNothingButPrograms) {
  put("client.exe", kClient);
  UpdateManifest manifest = checked(document());
  manifest.addDownloaded(Sha1Digest::of(kUpdater), kUpdater);
  std::string block = serialiseUpdateBlock(manifest);
  const size_t base = folder_.u8string().size();
  const size_t program = (folder_ / "client.exe").u8string().size();
  // Two strings, a key, no deletes, no writes, two contents.
  EXPECT_EQ(block.size(), 4 + base + 4 + program + 20 + 4 + 4 + 4 + 2 * (20 + 4) + kClient.size() + kUpdater.size());
  ReadBlock read = readBack(block);
  EXPECT_TRUE(read.deletes.empty());
  EXPECT_TRUE(read.writes.empty());
  EXPECT_EQ(read.contents.size(), 2u);
}

TEST(HandoffWriter, RefusesAnAbsentDigestAndKeepsHandlesWhole) {
  HandoffWriter writer;
  try {
    writer.writeDigest(Sha1Digest());
    FAIL() << "wrote an absent digest";
  } catch (const NumberError& error) {
    EXPECT_EQ(error.code(), 29);
  }
  EXPECT_TRUE(writer.bytes().empty());
  writer.writeU32(0x01020304u);
  writer.writeString(L"\u00e9");
  EXPECT_EQ(writer.bytes(), std::string("\x04\x03\x02\x01\x02\0\0\0\xC3\xA9", 10));
  for (uintptr_t handle : {uintptr_t{0x4}, uintptr_t{0x7FFFFFFC}, static_cast<uintptr_t>(-1), static_cast<uintptr_t>(-2)})
    EXPECT_EQ(handoff::blockValueToHandle(handoff::handleToBlockValue(handle)), handle);
  if (sizeof(uintptr_t) > 4) {
    EXPECT_THROW(handoff::handleToBlockValue(static_cast<uintptr_t>(0x80000000u)), std::range_error);
  }
}

}  // namespace
