// The framework check reads the machine's registry: this test runs in a Wine
// prefix of its own.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/app/win/DotNetSetup.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"

namespace {

const wchar_t kFullKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";

void removeFullKey() {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kFullKey, registryViewFlag(), 0);
}

void setRelease(DWORD type, const void* data, DWORD size) {
  HKEY created = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFullKey, 0, nullptr, 0, KEY_WRITE | registryViewFlag(), nullptr,
                            &created, nullptr),
            ERROR_SUCCESS);
  WinKey key(created, winhandle::kNoCloseCode);
  ASSERT_EQ(RegSetValueExW(key.get(), L"Release", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

TEST(DotNetReleaseTest, OnlyAFourByteDwordOfAtLeast378389Counts) {
  removeFullKey();
  EXPECT_FALSE(isDotNet45Installed()) << "no key";

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFullKey, 0, nullptr, 0, KEY_WRITE | registryViewFlag(), nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_FALSE(isDotNet45Installed()) << "no value";

  struct Case {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
    bool installed;
  } cases[] = {
      {"378388, the last release before 4.5", REG_DWORD, {0x14, 0xC6, 0x05, 0x00}, false},
      {"378389, the first release of 4.5", REG_DWORD, {0x15, 0xC6, 0x05, 0x00}, true},
      {"528040", REG_DWORD, {0xA8, 0x0E, 0x08, 0x00}, true},
      {"0", REG_DWORD, {0, 0, 0, 0}, false},
      {"378389 as a string", REG_SZ, {'3', 0, '7', 0, '8', 0, '3', 0, '8', 0, '9', 0, 0, 0}, false},
      {"378389 as eight bytes", REG_QWORD, {0x15, 0xC6, 0x05, 0x00, 0, 0, 0, 0}, false},
      {"378389 as binary", REG_BINARY, {0x15, 0xC6, 0x05, 0x00}, false},
      {"a DWORD of two bytes", REG_DWORD, {0x15, 0xC6}, false},
  };
  for (const Case& c : cases) {
    setRelease(c.type, c.data.data(), DWORD(c.data.size()));
    EXPECT_EQ(isDotNet45Installed(), c.installed) << c.name;
  }
  removeFullKey();
}

}  // namespace
