#include <gtest/gtest.h>
#include <shlwapi.h>
#include <windows.h>

#include <fstream>

#include "core/Text.h"
#include "core/win/System.h"
#include "tests/support/FatalTrap.h"

namespace {

TEST(JoinPathTest, JoinsAndResolvesDots) {
  EXPECT_EQ(joinPath(L"C:\\a", L"b"), L"C:\\a\\b");
  EXPECT_EQ(joinPath(L"C:\\a\\", L"b.txt"), L"C:\\a\\b.txt");
  EXPECT_EQ(joinPath(L"C:\\a\\b", L"..\\c"), L"C:\\a\\c");
}

TEST(JoinPathTest, LimitsAtMaxPath) {
  std::wstring base259 = L"C:\\" + std::wstring(256, L'x');
  std::wstring base260 = base259 + L"y";
  ASSERT_EQ(base259.size(), 259u);
  // 259 units pass the length test, but nothing more fits behind them.
  EXPECT_EQ(fatalCodeOf([&] { joinPath(base259, L"z"); }), 107);
  EXPECT_EQ(fatalCodeOf([&] { joinPath(base260, L"z"); }), 106);
  std::wstring base250 = L"C:\\" + std::wstring(247, L'x');
  EXPECT_EQ(joinPath(base250, L"abcd").size(), 255u);
}

TEST(ParentFolderTest, RemovesTheLastElement) {
  EXPECT_EQ(parentFolder(L"C:\\a\\b.exe"), L"C:\\a");
  EXPECT_EQ(parentFolder(L"C:\\a"), L"C:\\");
  EXPECT_EQ(fatalCodeOf([] { parentFolder(L"C:\\"); }), 110);
  EXPECT_EQ(fatalCodeOf([] { parentFolder(std::wstring(260, L'a')); }), 109);
}

TEST(ExePathTest, NamesThisProgram) {
  std::wstring path = exePath();
  EXPECT_TRUE(path.size() > 4 && path.compare(path.size() - 4, 4, L".exe") == 0) << toUtf8(path);
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

void touch(const std::wstring& path) { std::ofstream(path.c_str()) << "x"; }

TEST(DeleteTreeTest, RemovesNestedFoldersAndIgnoresMissingPaths) {
  std::wstring root = joinPath(tempFolder(), L"zav-deletetree-" + std::to_wstring(GetCurrentProcessId()));
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  CreateDirectoryW(joinPath(root, L"sub").c_str(), nullptr);
  CreateDirectoryW(joinPath(root, L"sub\\deeper").c_str(), nullptr);
  touch(joinPath(root, L"a.txt"));
  touch(joinPath(root, L"sub\\b.txt"));
  touch(joinPath(root, L"sub\\deeper\\\x4E2D.txt"));
  deleteTree(root);
  EXPECT_FALSE(PathFileExistsW(root.c_str()));
  EXPECT_NO_THROW(deleteTree(root));

  std::wstring file = root + L".txt";
  touch(file);
  deleteTree(file);
  EXPECT_FALSE(PathFileExistsW(file.c_str()));
}

TEST(System32FolderTest, IsTheNativeSystemFolder) {
  std::wstring folder = system32Folder();
  std::wstring lower;
  for (wchar_t c : folder) lower.push_back(static_cast<wchar_t>(towlower(c)));
  EXPECT_EQ(lower.substr(lower.size() - 9), L"\\system32") << toUtf8(folder);
  EXPECT_TRUE(PathFileExistsW(joinPath(folder, L"reg.exe").c_str()));
}

TEST(RegistryTest, ReadsDefaultStringsOfTheSixtyFourBitView) {
  // Written into the 64-bit view explicitly: a 32-bit build finds it only
  // because every key is opened with the view flag under WOW64.
  const std::wstring key = L"Software\\ZavRegistryTest" + std::to_wstring(GetCurrentProcessId());
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                            &handle, nullptr),
            ERROR_SUCCESS);
  const wchar_t withNul[] = L"C:\\Program Files\\X\0junk";
  RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(withNul), sizeof withNul);
  RegCloseKey(handle);

  std::wstring out = L"unchanged";
  EXPECT_TRUE(readRegistryDefaultString(HKEY_LOCAL_MACHINE, key, out));
  EXPECT_EQ(out, L"C:\\Program Files\\X");

  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_WRITE | KEY_WOW64_64KEY, &handle), ERROR_SUCCESS);
  DWORD number = 7;
  RegSetValueExW(handle, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  RegCloseKey(handle);
  out = L"unchanged";
  EXPECT_FALSE(readRegistryDefaultString(HKEY_LOCAL_MACHINE, key, out));
  EXPECT_FALSE(readRegistryDefaultString(HKEY_LOCAL_MACHINE, key + L"\\missing", out));
  EXPECT_EQ(out, L"unchanged");

  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
}

TEST(RegistryTest, OddSizedStringValuesGiveTheirWholeCharacters) {
  const std::wstring key = L"Software\\ZavRegistryOddTest" + std::to_wstring(GetCurrentProcessId());
  struct Case {
    const char* name;
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {"one byte", std::string("x", 1), L""},
      {"a character and a half", std::string("a\0b", 3), L"a"},
      {"no terminator, odd", std::string("a\0b\0c\0d", 7), L"abc"},
      {"longer than a string keeps inline", std::string("0\0" "1\0" "2\0" "3\0" "4\0" "5\0" "6\0" "7\0" "8\0" "9", 19),
       L"012345678"},
      {"terminated, then a stray byte", std::string("a\0\0\0z", 5), L"a"},
  };
  for (const Case& c : cases) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                              &handle, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(c.bytes.data()),
                             static_cast<DWORD>(c.bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(handle);
    std::wstring out = L"unchanged";
    EXPECT_TRUE(readRegistryDefaultString(HKEY_LOCAL_MACHINE, key, out)) << c.name;
    EXPECT_EQ(out, c.text) << c.name;
  }
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
}

TEST(RegistryTest, ViewFlagForcesTheSixtyFourBitViewInThirtyTwoBitBuilds) {
  // The test prefix is 64-bit: a 32-bit build runs under WOW64 there.
#ifdef _WIN64
  EXPECT_FALSE(isWow64());
  EXPECT_EQ(registryViewFlag(), 0u);
#else
  EXPECT_TRUE(isWow64());
  EXPECT_EQ(registryViewFlag(), static_cast<REGSAM>(KEY_WOW64_64KEY));
#endif
}

TEST(TrimAtNulTest, CutsAtTheFirstNul) {
  std::wstring text(L"ab\0cd\0", 6);
  trimAtNul(text);
  EXPECT_EQ(text, L"ab");
  std::wstring plain = L"plain";
  trimAtNul(plain);
  EXPECT_EQ(plain, L"plain");
}

TEST(BstrTest, EmptyIsNullAndContentRoundTrips) {
  EXPECT_EQ(makeBstr(L""), nullptr);
  EXPECT_EQ(fromBstr(nullptr), L"");
  std::wstring text(L"a\0b \x4E2D", 5);
  BSTR bstr = makeBstr(text);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr), 5u);
  EXPECT_EQ(fromBstr(bstr), text);
  SysFreeString(bstr);
}

TEST(GuidTest, RegistryFormWithBraces) {
  const GUID unknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  EXPECT_EQ(guidToString(unknown), "{00000000-0000-0000-C000-000000000046}");
  const GUID entry = {0x6DFB667F, 0x9BC9, 0x4FF9, {0x97, 0xF9, 0xA9, 0xC7, 0x4A, 0xDE, 0xB5, 0x38}};
  EXPECT_EQ(guidToString(entry), "{6DFB667F-9BC9-4FF9-97F9-A9C74ADEB538}");
}

}  // namespace
