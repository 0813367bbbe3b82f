#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/QuoteArgument.h"
#include "core/Text.h"
#include "core/SavedConfig.h"
#include "core/win/ChildProcess.h"
#include "core/win/SavedConfigFile.h"
#include "core/win/System.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/TestFolder.h"

namespace {

// Each test has its own settings folder, never the user's own.
class SavedConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = uniqueTempPath(L"settings");
    file_ = joinPath(folder_, L"SavedConfig.dat");
  }
  void TearDown() override { deleteTree(folder_); }

  std::unique_ptr<SavedConfig> loadedConfig() {
    auto config = std::make_unique<SavedConfig>(std::make_unique<SavedConfigFile>(folder_, file_));
    config->load();
    return config;
  }

  // The fixture tool, a program of its own, makes and opens the blobs.
  static void runTool(const wchar_t* mode, const std::wstring& in, const std::wstring& out) {
    std::wstring line = quoteArgument(protectToolPath()) + L" " + mode + L" " + quoteArgument(in) + L" " +
                        quoteArgument(out);
    ASSERT_EQ(runAndWait(protectToolPath(), line), 0u) << "protect_tool " << toUtf8(mode);
  }
  void storeProtected(const std::string& plain) {
    CreateDirectoryW(folder_.c_str(), nullptr);
    std::wstring plainFile = uniqueTempPath(L"plain");
    ASSERT_TRUE(writeWideFile(plainFile, plain));
    runTool(L"protect", plainFile, file_);
    DeleteFileW(plainFile.c_str());
  }
  void storeRaw(const std::string& bytes) {
    CreateDirectoryW(folder_.c_str(), nullptr);
    ASSERT_TRUE(writeWideFile(file_, bytes));
  }
  std::string unprotectedFile() {
    std::wstring plainFile = uniqueTempPath(L"plain");
    runTool(L"unprotect", file_, plainFile);
    std::string plain = readWideFile(plainFile);
    DeleteFileW(plainFile.c_str());
    return plain;
  }

  std::wstring folder_;
  std::wstring file_;
};

TEST_F(SavedConfigFileTest, LoadReplacesWhatItCannotUse) {
  enum Fixture { kNone, kProtected, kRaw };
  struct Case {
    const char* name;
    Fixture fixture;
    std::string content;
  } cases[] = {
      {"no folder and no file", kNone, ""},
      {"a protected array", kProtected, "[{\"un\":\"a\"}]"},
      {"protected junk", kProtected, "\x01not json"},
      {"a protected empty text", kProtected, ""},
      {"unprotected junk bytes", kRaw, std::string("\x00\x01\x02junk\xff", 8)},
      {"unprotected JSON", kRaw, "{\"un\":\"a\"}"},
      {"a 0-byte file", kRaw, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    deleteTree(folder_);
    if (c.fixture == kProtected) storeProtected(c.content);
    if (c.fixture == kRaw) storeRaw(c.content);
    std::unique_ptr<SavedConfig> config = loadedConfig();
    EXPECT_EQ(config->document().MemberCount(), 0u);
    EXPECT_EQ(unprotectedFile(), "{}");
  }
}

TEST_F(SavedConfigFileTest, ATruncatedBlobIsReplaced) {
  storeProtected("{\"un\":\"alice\",\"pw\":\"secret\"}");
  std::string blob = readWideFile(file_);
  storeRaw(blob.substr(0, blob.size() / 2));
  EXPECT_EQ(readProtectedFile(file_), nullptr);
  std::unique_ptr<SavedConfig> config = loadedConfig();
  EXPECT_EQ(getStringOr(config->document(), "un", "none"), "none");
  EXPECT_EQ(unprotectedFile(), "{}");
}

TEST_F(SavedConfigFileTest, SettingsSurviveARestartWithNonAsciiTextAndUnknownKeys) {
  const std::string user = "Jürgen 李 \xf0\x9f\x8e\xae";
  storeProtected("{\"later\":{\"x\":[1,2]},\"modePref\":\"false\"}");
  {
    std::unique_ptr<SavedConfig> config = loadedConfig();
    EXPECT_TRUE(getBoolOrTrue(config->document(), "modePref")) << "a string is not a bool";
    setStringMember(config->document(), "un", user);
    setStringMember(config->document(), "pw", "pässwort");
    setBoolMember(config->document(), "modePref", false);
    config->save();
  }
  // Replacing "modePref" moved the last member into its place.
  EXPECT_EQ(unprotectedFile(), "{\"later\":{\"x\":[1,2]},\"pw\":\"pässwort\",\"un\":\"" + user + "\",\"modePref\":false}");
  std::unique_ptr<SavedConfig> restarted = loadedConfig();
  EXPECT_EQ(getStringOr(restarted->document(), "un", ""), user);
  EXPECT_EQ(getStringOr(restarted->document(), "pw", ""), "pässwort");
  EXPECT_FALSE(getBoolOrTrue(restarted->document(), "modePref"));
}

// The new settings go to a new file put in the old one's place in one step:
// the old file is never cut short and written again (a crash half-way would
// lose both), so the file that holds the new settings is another file, and
// nothing of the write stays beside it.
TEST_F(SavedConfigFileTest, ANewFileTakesTheOldOnesPlaceInOneStep) {
  auto identity = [this] {
    HANDLE file = CreateFileW(file_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION information{};
    if (file != INVALID_HANDLE_VALUE) {
      GetFileInformationByHandle(file, &information);
      CloseHandle(file);
    }
    return (uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  };
  storeProtected("{\"un\":\"old\"}");
  uint64_t before = identity();
  ASSERT_NE(before, 0u);
  SavedConfigFile config(folder_, file_);
  ASSERT_TRUE(config.write("{\"un\":\"new\"}"));
  EXPECT_EQ(unprotectedFile(), "{\"un\":\"new\"}");
  EXPECT_NE(identity(), before) << "the old file was rewritten in place";

  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(joinPath(folder_, L"*").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  std::vector<std::wstring> names;
  do {
    if (found.cFileName[0] != L'.') names.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  EXPECT_EQ(names, std::vector<std::wstring>{L"SavedConfig.dat"});
}

TEST_F(SavedConfigFileTest, WritesThatCannotSucceedReportFalse) {
  // The folder's parent is missing, so the folder can't be made.
  SavedConfigFile orphan(joinPath(folder_, L"missing\\ZAV"), joinPath(folder_, L"missing\\ZAV\\SavedConfig.dat"));
  EXPECT_FALSE(orphan.write("{}"));
  // The file's name is taken by a folder.
  CreateDirectoryW(folder_.c_str(), nullptr);
  CreateDirectoryW(file_.c_str(), nullptr);
  EXPECT_FALSE(writeProtectedFile("{}", file_));
  EXPECT_EQ(readProtectedFile(file_), nullptr);
  EXPECT_EQ(readProtectedFile(joinPath(folder_, L"nothing.dat")), nullptr);
}

}  // namespace
