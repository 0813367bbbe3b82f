// What the elevated client makes, reads, replaces and removes is never reached
// through a link. Runs under tests/support/link_fixture.py, which makes the
// Unix links Wine shows as links (see its description of the folders).
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/Text.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/LinkChecks.h"
#include "core/win/SavedConfigFile.h"
#include "core/win/System.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win/SeenFolders.h"
#include "tests/support/win/TestFolder.h"

namespace {

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::set<std::string> namesIn(const std::wstring& folder) {
  std::set<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(joinPath(folder, L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.insert(toUtf8(name));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

class LinkFixture : public testing::Test {
 protected:
  void SetUp() override {
    const char* top = std::getenv("ZAV_LINK_FIXTURE");
    ASSERT_NE(top, nullptr) << "runs under tests/support/link_fixture.py";
    top_ = fromUtf8(hostPath(top));
    outside_ = joinPath(top_, L"outside");
    links_ = joinPath(top_, L"links");
    // The fixture's links are what Wine shows them as.
    ASSERT_TRUE(GetFileAttributesW(joinPath(links_, L"folder").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
  }
  // Nothing a link led to was written, made or removed.
  void expectOutsideUntouched() {
    EXPECT_EQ(namesIn(outside_), (std::set<std::string>{"hard.txt", "precious.txt"}));
    EXPECT_EQ(fileOrNone(joinPath(outside_, L"precious.txt")), "precious");
    EXPECT_EQ(fileOrNone(joinPath(outside_, L"hard.txt")), "hard");
  }

  std::wstring top_;
  std::wstring outside_;
  std::wstring links_;
};

TEST_F(LinkFixture, OpenWithoutLinksOpensOnlyWhatIsAtThePath) {
  struct Case {
    const wchar_t* path;
    bool opens;
  } cases[] = {
      {L"tree\\plain.txt", true},
      {L"tree", true},
      {L"TREE\\Sub\\PLAIN.TXT", true},   // names compare as the file system does
      {L"folder", false},                // a folder link
      {L"folder\\precious.txt", false},  // below a folder link
      {L"file.dat", false},              // a file link, which Wine shows as a plain file
      {L"hard.dat", false},              // a second name of a file
      {L"missing.txt", false},
  };
  for (const Case& c : cases) {
    std::wstring path = joinPath(links_, c.path);
    WinFile file = openWithoutLinks(path, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(static_cast<bool>(file), c.opens) << toUtf8(path);
  }
}

// TMP and TEMP are the user's to set (HKCU\Environment): the admin-only folder
// never goes where they point.
TEST_F(LinkFixture, AdminOnlyFolderIgnoresTheUsersTemporaryFolder) {
  std::wstring userTemp = joinPath(links_, L"tree");
  std::unique_ptr<AdminOnlyFolder> folder;
  {
    UserTempFolder user(userTemp);
    folder = AdminOnlyFolder::create();
  }
  ASSERT_TRUE(folder);
  wchar_t windows[MAX_PATH];
  ASSERT_NE(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
  EXPECT_TRUE(samePath(parentFolder(folder->path()), joinPath(windows, L"Temp"))) << toUtf8(folder->path());
  EXPECT_EQ(namesIn(userTemp), (std::set<std::string>{"file-link.txt", "plain.txt", "sub"}));
}

TEST_F(LinkFixture, AdminOnlyFolderIsNotMadeThroughALink) {
  EXPECT_FALSE(AdminOnlyFolder::create(joinPath(links_, L"folder")));
  expectOutsideUntouched();
}

TEST_F(LinkFixture, AdminOnlyFolderTakesNewFilesAndGoesWithThem) {
  std::unique_ptr<AdminOnlyFolder> folder = AdminOnlyFolder::create(joinPath(links_, L"tree"));
  ASSERT_TRUE(folder);
  const std::string bytes("\x00\x01 bytes\r\n\xff", 11);
  std::wstring path = folder->writeFile(L"a.tmp", bytes);
  ASSERT_EQ(path, joinPath(folder->path(), L"a.tmp"));
  EXPECT_EQ(readWideFile(path), bytes);
  EXPECT_EQ(folder->writeFile(L"a.tmp", "other"), L"") << "a name taken is not written over";
  EXPECT_EQ(readWideFile(path), bytes);
  std::wstring made = folder->path();
  folder.reset();
  EXPECT_FALSE(exists(made));
}

TEST_F(LinkFixture, DeleteTreeRemovesNoLinksTarget) {
  std::wstring tree = joinPath(links_, L"tree");
  try {
    deleteTree(tree);
  } catch (const std::runtime_error&) {
    // Wine cannot remove a Unix link; what matters is what it points to.
  }
  EXPECT_FALSE(exists(joinPath(tree, L"plain.txt")));
  EXPECT_FALSE(exists(joinPath(tree, L"sub\\plain.txt")));
  try {
    deleteTree(joinPath(links_, L"folder"));
  } catch (const std::runtime_error&) {
  }
  expectOutsideUntouched();
}

// The settings live in the user's own folder: a link there, at the folder or
// at the file, never aims the elevated client's write or read elsewhere.
TEST_F(LinkFixture, SavedConfigNeverWritesOrReadsThroughALink) {
  struct Case {
    const char* name;
    const wchar_t* folder;
    const wchar_t* file;
  } cases[] = {
      {"the folder is a link", L"folder", L"folder\\SavedConfig.dat"},
      {"the file is a link", L"", L"file.dat"},
      {"the file has a second name", L"", L"hard.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SavedConfigFile config(joinPath(links_, c.folder), joinPath(links_, c.file));
    EXPECT_FALSE(config.write("{\"un\":\"a\"}"));
    EXPECT_EQ(config.read(), nullptr);
    expectOutsideUntouched();
  }
  EXPECT_EQ(namesIn(links_), (std::set<std::string>{"file.dat", "folder", "hard.dat", "swap", "tree"}))
      << "a new file stayed behind";
}

}  // namespace
