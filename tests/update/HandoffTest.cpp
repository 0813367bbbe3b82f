#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "core/Text.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/System.h"
#include "tests/support/win/SeenFolders.h"
#include "tests/support/win/TestFolder.h"

namespace {

// The client's side of the hand-off, run for real in a folder of its own:
// the client program there is a copy of update_handoff_client.
class Handoff : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = freshTestFolder(L"zav handoff ");
    program_ = folder_ + L"\\zav client.exe";
    ASSERT_TRUE(writeWideFile(program_, builtFile("tests/update_handoff_client.exe")));
    ASSERT_TRUE(writeWideFile(folder_ + L"\\old.txt", "old"));
    standIn_ = folder_ + L"\\stand-in.bin";
    ASSERT_TRUE(writeWideFile(standIn_, builtFile("tests/updater_stand_in_client.exe")));
  }
  void TearDown() override { removeTestFolder(folder_); }

  // Starts the client with the updater content given and waits for its end.
  DWORD runClient(const std::wstring& updaterContent, const std::wstring& libPath = L"") {
    std::wstring arguments = L"\"" + updaterContent + L"\" \"" + standIn_ + L"\"";
    if (!libPath.empty()) arguments += L" \"" + libPath + L"\"";
    HANDLE client = startProgram(program_, arguments);
    EXPECT_NE(client, nullptr);
    if (!client) return 9;
    DWORD waited = WaitForSingleObject(client, 30000);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the client is still waiting";
    if (waited != WAIT_OBJECT_0) TerminateProcess(client, 9);
    DWORD code = 9;
    GetExitCodeProcess(client, &code);
    CloseHandle(client);
    return code;
  }
  std::string starts() const {
    for (int i = 0; i < 200; ++i) {
      // The new client may still be writing its line.
      std::string text = fileOrNone(folder_ + L"\\starts.txt");
      if (text != "<none>" && !text.empty() && text.back() == '\n') return text;
      Sleep(50);
    }
    return "<none>";
  }

  std::wstring folder_;
  std::wstring program_;
  std::wstring standIn_;
};

TEST_F(Handoff, TheUpdaterEndsTheClientAppliesTheUpdateAndStartsTheNewClient) {
  std::wstring updater = folder_ + L"\\updater.bin";
  ASSERT_TRUE(writeWideFile(updater, builtFile("dist/updater.exe")));
  EXPECT_EQ(runClient(updater), 0u) << "not ended by the updater";
  EXPECT_EQ(starts(), "1|\"" + toUtf8(program_) + "\"\n");
  EXPECT_EQ(fileOrNone(program_), fileOrNone(standIn_));
  EXPECT_EQ(fileOrNone(folder_ + L"\\lib.dll"), "lib");
  EXPECT_EQ(fileOrNone(folder_ + L"\\old.txt"), "<none>");
  EXPECT_EQ(fileOrNone(folder_ + L"\\ZAV.upd"), fileOrNone(updater));
}

// The updater runs elevated in its own folder (the client's), with the
// system's Temp and not the user's; the client it starts again inherits both.
TEST_F(Handoff, TheUpdaterRunsInTheClientsFolderWithTheSystemsTemp) {
  std::wstring updater = folder_ + L"\\updater.bin";
  ASSERT_TRUE(writeWideFile(updater, builtFile("dist/updater.exe")));
  const std::wstring userTemp = uniqueTempPath(L"user temp");
  ASSERT_TRUE(CreateDirectoryW(userTemp.c_str(), nullptr));
  const std::wstring folders = joinPath(userTemp, L"folders.txt");
  SetEnvironmentVariableW(L"ZAV_FOLDERS_RECORD", folders.c_str());
  {
    UserTempFolder user(userTemp);
    EXPECT_EQ(runClient(updater), 0u) << "not ended by the updater";
  }
  SetEnvironmentVariableW(L"ZAV_FOLDERS_RECORD", nullptr);
  EXPECT_EQ(starts(), "1|\"" + toUtf8(program_) + "\"\n");
  EXPECT_EQ(readSeenFolders(folders), (SeenFolders{systemTempFolder(), systemTempFolder(), folder_}));
  DeleteFileW(folders.c_str());
  RemoveDirectoryW(userTemp.c_str());
}

// A path at every length limit at once: joined, it fills the 260-unit buffer
// with its terminator, and its folder leaves the updater exactly the room of
// its temporary names (29 units with separator and terminator).
TEST_F(Handoff, AppliesAPathThatJustFitsTheUpdatersBuffers) {
  std::wstring updater = folder_ + L"\\updater.bin";
  ASSERT_TRUE(writeWideFile(updater, builtFile("dist/updater.exe")));
  size_t below = 231 - folder_.size() - 1;  // the target folder's units after the client folder's
  std::wstring relative = std::wstring(below - 2, L'd') + L"/e/" + std::wstring(27, L'n');
  ASSERT_EQ(folder_.size() + 1 + relative.size(), 259u);
  EXPECT_EQ(runClient(updater, relative), 0u) << "not ended by the updater";
  EXPECT_EQ(starts(), "1|\"" + toUtf8(program_) + "\"\n");
  EXPECT_EQ(fileOrNone(folder_ + L"\\" + relative), "lib");
  EXPECT_EQ(fileOrNone(folder_ + L"\\old.txt"), "<none>");
}

// An updater that stops before ending the client must not leave the client
// waiting for ever with the single-instance mutex.
TEST_F(Handoff, TheClientEndsItselfWhenTheUpdaterStopsFirst) {
  EXPECT_EQ(runClient(standIn_), 1u);
  std::string line = starts();
  std::string prefix = "2|\"" + toUtf8(folder_ + L"\\ZAV.upd") + "\" ";
  ASSERT_EQ(line.substr(0, prefix.size()), prefix);
  EXPECT_GT(std::stoul(line.substr(prefix.size())), 4u);
  EXPECT_EQ(fileOrNone(folder_ + L"\\old.txt"), "old");
}

}  // namespace
