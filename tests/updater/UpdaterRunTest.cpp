#include "updater/win/UpdaterRun.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/SignatureVerifier.h"
#include "core/Text.h"
#include "core/win/System.h"
#include "tests/support/TestFiles.h"
#include "tests/support/ManifestSigner.h"
#include "tests/support/win/TestFolder.h"
#include "update/UpdateBlock.h"
#include "update/UpdateManifest.h"
#include "update/win/UpdateHandoff.h"
#include "updater/UpdaterFailure.h"

namespace {

const std::string& standInBytes() {
  static const std::string bytes = builtFile("tests/updater_stand_in_client.exe");
  return bytes;
}
// Still the stand-in, told apart by data past the end of its image.
std::string newClientBytes() { return standInBytes() + std::string("\0next release", 13); }

std::string fileBytes(const std::wstring& path) { return readWideFile(path); }
void putFile(const std::wstring& path, const std::string& bytes) { ASSERT_TRUE(writeWideFile(path, bytes)); }

std::string hexOf(const std::string& bytes) { return Sha1Digest::of(bytes).toHex(); }
// Programs are shown by digest, so that a failure stays readable.
std::string shown(const std::string& bytes) { return bytes.size() > 64 ? "sha1 " + hexOf(bytes) : bytes; }

// Every file and folder below root with its content, "starts.txt" aside.
using Snapshot = std::map<std::wstring, std::string>;
void snapshotInto(const std::wstring& root, const std::wstring& relative, Snapshot& out) {
  WIN32_FIND_DATAW found;
  std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L".." || (relative.empty() && name == L"starts.txt")) continue;
    std::wstring path = relative.empty() ? name : relative + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[path + L"\\"] = "";
      snapshotInto(root, path, out);
    } else {
      out[path] = shown(fileBytes(root + L"\\" + path));
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}
Snapshot snapshot(const std::wstring& root) {
  Snapshot out;
  snapshotInto(root, L"", out);
  return out;
}

struct Recorder : UpdaterUi {
  void showError(const wchar_t* message) override { messages.push_back(message); }
  std::vector<std::wstring> messages;
};

struct Outcome {
  int exitCode;
  std::vector<std::wstring> messages;
};

// The updater's run in this process, over a mapping made here.
Outcome runInProcess(const std::string* block, std::vector<std::wstring> arguments) {
  HANDLE mapping = nullptr;
  if (block) {
    DWORD size = static_cast<DWORD>(block->size() ? block->size() : 1);
    mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, L"Global\\KWEL_GUI_GUPD");
    EXPECT_NE(mapping, nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!block->empty()) memcpy(view, block->data(), block->size());
    UnmapViewOfFile(view);
  }
  std::vector<const wchar_t*> argv{L"ZAV.upd"};
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  Recorder recorder;
  int code = runUpdater(static_cast<int>(argv.size()), argv.data(), recorder);
  if (mapping) CloseHandle(mapping);
  return {code, recorder.messages};
}

std::wstring sizeOf(const std::string& block) { return std::to_wstring(block.size()); }

class UpdaterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = givenFolder_.empty() ? freshTestFolder(L"zav updater \u00e9 ") : givenFolder_;
    program_ = folder_ + L"\\client.exe";
    putFile(program_, standInBytes());
    startClient(1);
  }

  // The client as it waits for the updater; count: its starts so far.
  void startClient(size_t count) {
    if (client_) CloseHandle(client_);
    client_ = startProgram(program_, L"wait");
    ASSERT_NE(client_, nullptr);
    ASSERT_TRUE(waitForStarts(count));
  }

  void TearDown() override {
    if (client_) {
      TerminateProcess(client_, 9);
      WaitForSingleObject(client_, 5000);
      CloseHandle(client_);
    }
    if (givenFolder_.empty()) removeTestFolder(folder_);
  }

  std::vector<std::string> starts() const {
    std::vector<std::string> lines;
    std::string text;
    try {
      text = fileBytes(folder_ + L"\\starts.txt");
    } catch (const std::exception&) {
      return lines;
    }
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }
  bool waitForStarts(size_t count) const {
    for (int i = 0; i < 200; ++i) {
      if (starts().size() >= count) return true;
      Sleep(50);
    }
    return false;
  }
  bool clientRunning() const { return WaitForSingleObject(client_, 0) == WAIT_TIMEOUT; }
  uint32_t clientValue() const { return handoff::handleToBlockValue(reinterpret_cast<uintptr_t>(client_)); }

  // The client's side: a signed manifest checked against this folder, with
  // every content it lacks "downloaded".
  std::unique_ptr<UpdateManifest> manifestFor(const std::string& deleted, const std::string& required,
                                              const std::vector<std::string>& contents) {
    std::string json = "{\"entryProgram\":\"" + hexOf(newClientBytes()) + "\",\"updaterProgram\":\"" +
                       hexOf(updaterBytes()) + "\",\"deletedFiles\":" + deleted + ",\"requiredFiles\":" + required + "}";
    std::string pem = readFileBytes(testKeyPath("service-test-public.pem"));
    auto verifier = SignatureVerifier::createFromPem(pem.c_str());
    auto manifest = std::make_unique<UpdateManifest>(signedManifest(json), *verifier);
    manifest->checkInstalledFiles(program_);
    std::vector<std::string> all = contents;
    all.push_back(newClientBytes());
    all.push_back(updaterBytes());
    for (const auto& bytes : all)
      if (!manifest->filesAtHand().count(Sha1Digest::of(bytes))) manifest->addDownloaded(Sha1Digest::of(bytes), bytes);
    EXPECT_EQ(manifest->countMissing(), 0u);
    return manifest;
  }
  static const std::string& updaterBytes() {
    static const std::string bytes = builtFile("dist/updater.exe");
    return bytes;
  }
  std::string blockOf(const UpdateManifest& manifest, uint32_t handle) {
    std::string block = serialiseUpdateBlock(manifest);
    unsigned char value[4];
    handoff::storeU32(value, handle);
    return block + std::string(reinterpret_cast<const char*>(value), 4);
  }

  std::wstring givenFolder_;  // made and removed by someone else
  std::wstring folder_;
  std::wstring program_;
  HANDLE client_ = nullptr;
};

void makeFolders(const std::wstring& folder, std::initializer_list<const wchar_t*> relatives) {
  for (const wchar_t* relative : relatives) CreateDirectoryW((folder + L"\\" + relative).c_str(), nullptr);
}

TEST_F(UpdaterRun, AppliesAnUpdateThroughTheProgramAndRestartsTheClient) {
  makeFolders(folder_, {L"old", L"old\\sub"});
  putFile(folder_ + L"\\old\\sub\\x.txt", "x");
  putFile(folder_ + L"\\old\\y.txt", "y");
  putFile(folder_ + L"\\keep.txt", "keep");
  putFile(folder_ + L"\\a.dat", "previous");
  const std::string shared = "shared content";
  const std::string other = "other content";
  auto manifest = manifestFor("[\"old\",\"gone.txt\"]",
                              "{\"a.dat\":\"" + hexOf(shared) + "\",\"b\\\\a.dat\":\"" + hexOf(shared) +
                                  "\",\"donn\xC3\xA9" "es\\\\\xC3\xBCn\xC3\xAF.txt\":\"" + hexOf(other) + "\"}",
                              {shared, other});
  manifest->writeUpdater();
  UpdaterLaunch launch = launchUpdater(folder_ + L"\\ZAV.upd", serialiseUpdateBlock(*manifest), client_);
  EXPECT_EQ(launch.commandLine, L"\"" + folder_ + L"\\ZAV.upd\" " + std::to_wstring(launch.blockSize));

  ASSERT_EQ(WaitForSingleObject(client_, 20000), WAIT_OBJECT_0) << "the updater did not end the client";
  DWORD clientExit = 1;
  GetExitCodeProcess(client_, &clientExit);
  EXPECT_EQ(clientExit, 0u);
  ASSERT_EQ(WaitForSingleObject(launch.process.get(), 20000), WAIT_OBJECT_0);
  DWORD updaterExit = 9;
  GetExitCodeProcess(launch.process.get(), &updaterExit);
  EXPECT_EQ(updaterExit, 0u);

  Snapshot expected{{L"ZAV.upd", shown(updaterBytes())},
                    {L"a.dat", shared},
                    {L"b\\", ""},
                    {L"b\\a.dat", shared},
                    {L"client.exe", shown(newClientBytes())},
                    {L"donn\u00e9es\\", ""},
                    {L"donn\u00e9es\\\u00fcn\u00ef.txt", other},
                    {L"keep.txt", "keep"}};
  EXPECT_EQ(snapshot(folder_), expected);
  ASSERT_TRUE(waitForStarts(2));
  EXPECT_EQ(starts()[1], "1|\"" + toUtf8(program_) + "\"");
}

TEST_F(UpdaterRun, RefusesABadArgumentOrBlockBeforeTouchingAnything) {
  putFile(folder_ + L"\\keep.txt", "keep");
  const std::string content = "content";
  auto manifest = manifestFor("[\"keep.txt\"]", "{\"x.dat\":\"" + hexOf(content) + "\"}", {content});
  const std::string good = blockOf(*manifest, clientValue());
  const Snapshot before = snapshot(folder_);

  // Blocks written field by field with the client's writer, one fault each.
  auto crafted = [&](std::function<void(HandoffWriter&)> body) {
    HandoffWriter w;
    body(w);
    return w.bytes();
  };
  auto head = [&](HandoffWriter& w, const std::wstring& base, const std::wstring& main) {
    w.writeString(base);
    w.writeString(main);
    w.writeDigest(Sha1Digest::of(newClientBytes()));
  };
  auto tail = [&](HandoffWriter& w, uint32_t handle) {
    w.writeU32(1);
    w.writeDigest(Sha1Digest::of(newClientBytes()));
    w.writeBytes(newClientBytes());
    w.writeU32(handle);
  };
  auto withWrite = [&](const std::wstring& path, uint32_t handle) {
    return crafted([&](HandoffWriter& w) {
      head(w, folder_, program_);
      w.writeU32(0);
      w.writeU32(1);
      w.writeString(path);
      w.writeDigest(Sha1Digest::of(newClientBytes()));
      tail(w, handle);
    });
  };
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self, 0, FALSE, DUPLICATE_SAME_ACCESS);

  struct Case {
    const char* name;
    std::string block;
    bool mapped;
    std::vector<std::wstring> arguments;
    const wchar_t* message;
  } cases[] = {
      {"no argument", good, true, {}, updaterText::argument1},
      {"two arguments", good, true, {sizeOf(good), L"1"}, updaterText::argument1},
      {"empty size", good, true, {L""}, updaterText::argument2},
      {"blank after the size", good, true, {sizeOf(good) + L" "}, updaterText::argument2},
      {"negative size", good, true, {L"-1"}, updaterText::argument2},
      {"hexadecimal size", good, true, {L"0x10"}, updaterText::argument2},
      {"size past 32 bits", good, true, {L"4294967296"}, updaterText::argument2},
      {"no shared memory", good, false, {sizeOf(good)}, updaterText::argument3},
      {"size past the mapping", good, true, {std::to_wstring(good.size() + 70000)}, updaterText::argument4},
      {"size 0", good, true, {L"0"}, updaterText::argument5},
      {"cut inside the handle", good, true, {std::to_wstring(good.size() - 1)}, updaterText::argument5},
      {"cut inside the base folder", good, true, {L"9"}, updaterText::argument6},
      {"delete count of 0xFFFFFFFF", crafted([&](HandoffWriter& w) {
         head(w, folder_, program_);
         w.writeU32(0xFFFFFFFFu);
       }), true, {}, updaterText::argument5},
      {"key without content", crafted([&](HandoffWriter& w) {
         head(w, folder_, program_);
         w.writeU32(0);
         w.writeU32(1);
         w.writeString(L"x.dat");
         w.writeDigest(Sha1Digest::of(std::string("missing")));
         tail(w, clientValue());
       }), true, {}, updaterText::corrupted},
      {"content that is not its key", crafted([&](HandoffWriter& w) {
         head(w, folder_, program_);
         w.writeU32(0);
         w.writeU32(0);
         w.writeU32(1);
         w.writeDigest(Sha1Digest::of(newClientBytes()));
         w.writeBytes(standInBytes());
         w.writeU32(clientValue());
       }), true, {}, updaterText::corrupted},
      {"write path with ..", withWrite(L"..\\escaped.exe", clientValue()), true, {}, updaterText::corrupted},
      {"absolute write path", withWrite(L"C:\\escaped.exe", clientValue()), true, {}, updaterText::corrupted},
      {"write path that does not fit", withWrite(std::wstring(300, L'n'), clientValue()), true, {}, updaterText::combineFailed},
      {"delete path through a drive", crafted([&](HandoffWriter& w) {
         head(w, folder_, program_);
         w.writeU32(1);
         w.writeString(L"D:keep.txt");
         w.writeU32(0);
         tail(w, clientValue());
       }), true, {}, updaterText::corrupted},
      {"main program outside the base folder", crafted([&](HandoffWriter& w) {
         head(w, folder_, tempFolder() + L"client.exe");
         w.writeU32(0);
         w.writeU32(0);
         tail(w, clientValue());
       }), true, {}, updaterText::corrupted},
      {"handle of the updater itself", withWrite(L"x.dat", 0xFFFFFFFFu), true, {}, updaterText::argument9},
      {"duplicated handle of the updater", withWrite(L"x.dat", handoff::handleToBlockValue(reinterpret_cast<uintptr_t>(self))),
       true, {}, updaterText::argument9},
      {"handle of nothing", withWrite(L"x.dat", 0x7FFFFFF0u), true, {}, updaterText::argument9},
  };
  for (auto& c : cases) {
    std::vector<std::wstring> arguments = c.arguments;
    if (arguments.empty() && std::string(c.name) != "no argument") arguments.push_back(sizeOf(c.block));
    Outcome outcome = runInProcess(c.mapped ? &c.block : nullptr, arguments);
    EXPECT_EQ(outcome.exitCode, 0) << c.name;
    ASSERT_EQ(outcome.messages.size(), 1u) << c.name;
    EXPECT_EQ(outcome.messages[0], c.message) << c.name;
    EXPECT_TRUE(clientRunning()) << c.name;
    EXPECT_EQ(snapshot(folder_), before) << c.name;
  }
  CloseHandle(self);
  EXPECT_EQ(starts().size(), 1u);
}

TEST_F(UpdaterRun, AppliesInProcessWithTheClientProgramWrittenLast) {
  makeFolders(folder_, {L"old", L"old\\deep", L"old\\deep\\er"});
  putFile(folder_ + L"\\old\\deep\\er\\z.txt", "z");
  putFile(folder_ + L"\\old\\a.txt", "a");
  const std::string lib = "lib";
  // The write list names the client program too: the client's own content wins.
  auto manifest = manifestFor("[\"old\",\"missing\\\\path.txt\"]",
                              "{\"client.exe\":\"" + hexOf(lib) + "\",\"plugins\\\\p\\\\lib.dll\":\"" + hexOf(lib) + "\"}",
                              {lib});
  std::string block = blockOf(*manifest, clientValue());
  Outcome outcome = runInProcess(&block, {sizeOf(block)});
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_FALSE(clientRunning());
  Snapshot expected{{L"client.exe", shown(newClientBytes())},
                    {L"plugins\\", ""},
                    {L"plugins\\p\\", ""},
                    {L"plugins\\p\\lib.dll", lib}};
  EXPECT_EQ(snapshot(folder_), expected);
  ASSERT_TRUE(waitForStarts(2));
  EXPECT_EQ(starts()[1].substr(0, 2), "1|");
}

// Once the client has been ended, a failure anywhere leaves the folder as it
// was and still starts the client program that is in place.
TEST_F(UpdaterRun, PutsEverythingBackWhenAStepFailsAndRestartsTheOldClient) {
  makeFolders(folder_, {L"old"});
  putFile(folder_ + L"\\old\\x.txt", "x");
  putFile(folder_ + L"\\a.txt", "a old");
  putFile(folder_ + L"\\m.txt", "m old");
  putFile(folder_ + L"\\y.txt", "y old");
  putFile(folder_ + L"\\z.txt", "z old");
  const std::string content = "new";
  struct Case {
    const char* name;
    std::string deleted;
    std::string required;
    const wchar_t* locked;  // held open without sharing while the update runs
    const wchar_t* message;
  } cases[] = {
      {"a locked file among the writes", "[\"old\"]",
       "{\"a.txt\":\"" + hexOf(content) + "\",\"m.txt\":\"" + hexOf(content) + "\",\"z.txt\":\"" + hexOf(content) + "\"}",
       L"m.txt", updaterText::writeFailed},
      {"a locked file to delete", "[\"old\",\"y.txt\"]", "{\"a.txt\":\"" + hexOf(content) + "\"}", L"y.txt",
       updaterText::deleteFileFailed},
      {"a file where a folder must be made", "[\"old\"]",
       "{\"a.txt\":\"" + hexOf(content) + "\",\"z.txt\\\\in.txt\":\"" + hexOf(content) + "\"}", nullptr,
       updaterText::createFailed},
  };
  size_t startsSoFar = 1;
  for (const auto& c : cases) {
    if (!clientRunning()) startClient(++startsSoFar);
    const Snapshot before = snapshot(folder_);
    auto manifest = manifestFor(c.deleted, c.required, {content});
    std::string block = blockOf(*manifest, clientValue());
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (c.locked)
      lock = CreateFileW((folder_ + L"\\" + c.locked).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    Outcome outcome = runInProcess(&block, {sizeOf(block)});
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    EXPECT_EQ(outcome.exitCode, 1) << c.name;
    ASSERT_EQ(outcome.messages.size(), 1u) << c.name;
    EXPECT_EQ(outcome.messages[0], c.message) << c.name;
    EXPECT_FALSE(clientRunning()) << c.name;
    EXPECT_EQ(snapshot(folder_), before) << c.name;
    ASSERT_TRUE(waitForStarts(++startsSoFar)) << c.name << ": the old client was not started again";
    EXPECT_EQ(starts().back().substr(0, 2), "1|") << c.name;
  }
}

}  // namespace

namespace {

// Runs under link_fixture.py: the client folder holds links to a folder
// outside it, "link" and "old\\link".
class LinkedFolder : public UpdaterRun {
 protected:
  LinkedFolder() {
    const char* top = std::getenv("ZAV_LINK_FIXTURE");
    if (top) {
      outside_ = fromUtf8(hostPath(std::string(top) + "/outside"));
      givenFolder_ = fromUtf8(hostPath(std::string(top) + "/client"));
    }
  }
  std::wstring outside_;
};

TEST_F(LinkedFolder, RemovesLinksThemselvesAndNeverWritesThroughThem) {
  ASSERT_FALSE(outside_.empty()) << "runs under tests/support/link_fixture.py";
  ASSERT_EQ(GetFileAttributesW((folder_ + L"\\link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT,
            static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
  const std::string content = "content";
  auto through = manifestFor("[]", "{\"link\\\\x.dll\":\"" + hexOf(content) + "\"}", {content});
  std::string refused = blockOf(*through, clientValue());
  Outcome outcome = runInProcess(&refused, {sizeOf(refused)});
  ASSERT_EQ(outcome.messages.size(), 1u);
  EXPECT_EQ(outcome.messages[0], updaterText::corrupted);
  EXPECT_TRUE(clientRunning());

  auto removing = manifestFor("[\"old\",\"link\"]", "{}", {});
  std::string block = blockOf(*removing, clientValue());
  outcome = runInProcess(&block, {sizeOf(block)});
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_TRUE(outcome.messages.empty());
  EXPECT_EQ(GetFileAttributesW((folder_ + L"\\old").c_str()), INVALID_FILE_ATTRIBUTES);
  // Whether "link" itself goes depends on the file system (Wine cannot
  // remove a Unix link); what it points to always stays.
  EXPECT_EQ(fileBytes(outside_ + L"\\precious.txt"), "precious");
  EXPECT_EQ(GetFileAttributesW((outside_ + L"\\x.dll").c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(waitForStarts(2));
}

}  // namespace
