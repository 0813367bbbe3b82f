#pragma once

#include <windows.h>

#include <string>

#include "tests/support/win/TapFixture.h"

// Registry and program fixtures of the tunnel's Windows tests, which run in a
// Wine prefix of their own.

// The registry keys the installations are read from.
extern const wchar_t kOpenVpnKey[];
extern const wchar_t kTapKey[];

// Sets the key's default value in the given view (KEY_WOW64_64KEY or
// KEY_WOW64_32KEY), creating the key.
void setDefaultValue(HKEY root, const wchar_t* key, DWORD type, const void* data, DWORD size,
                     REGSAM view = KEY_WOW64_64KEY);
void setDefaultString(HKEY root, const wchar_t* key, const std::wstring& text, REGSAM view = KEY_WOW64_64KEY);
// Both keys gone, under HKLM and HKCU, in both views.
void removeInstallationKeys();

// The bytes of a program of each kind GetBinaryTypeW tells apart.
std::string pe32Program();
std::string pe64Program();
std::string dosProgram();
std::string win16Program();

// A new empty folder under the temporary folder.
std::wstring makeTestFolder(const std::wstring& stem);
// Writes bytes to folder\relativePath, making the folders between.
void placeFile(const std::wstring& folder, const std::wstring& relativePath, const std::string& bytes);
bool pathExists(const std::wstring& path);
// The text of every OpenVPN transcript (*.txt) in folder, one after another.
std::string transcriptsIn(const std::wstring& folder);

// The client's own TAP adapter as an earlier run left it: installed, marked,
// alone in the binding order, its device there.
void placeMarkedTapAdapter(const std::wstring& guid);

// placeMarkedTapAdapter, all gone with the object.
class MarkedTapAdapter {
 public:
  explicit MarkedTapAdapter(const std::wstring& guid);
  ~MarkedTapAdapter();
  MarkedTapAdapter(const MarkedTapAdapter&) = delete;
  MarkedTapAdapter& operator=(const MarkedTapAdapter&) = delete;

 private:
  TapDeviceFolder devices_;
};
