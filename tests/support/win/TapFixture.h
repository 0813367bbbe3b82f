#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The registry and device fixtures of the TAP adapter tests, shared with the
// stand-in tapinstall (tests/support/programs/TapInstall.cpp). They write
// HKLM, so their tests run in a Wine prefix of their own. Every function
// throws std::runtime_error when the registry or file system refuses.

// Adapter subkeys of the network adapter class key; keyPath is relative to
// HKEY_LOCAL_MACHINE, the key is created when missing.
void setRegistryValue(const std::wstring& keyPath, const wchar_t* name, DWORD type, const std::string& bytes);
void setRegistryDword(const std::wstring& keyPath, const wchar_t* name, DWORD value);
// A REG_SZ with its terminating NUL counted in its size.
void setRegistryString(const std::wstring& keyPath, const wchar_t* name, const std::wstring& text);
void createRegistryKey(const std::wstring& keyPath);
// Nothing when the key is missing.
void deleteRegistryTree(const std::wstring& keyPath);
// 0 also when the key is missing.
size_t subkeyCount(const std::wstring& keyPath);
// The value's type and bytes; false when it is missing.
bool readRegistryValue(const std::wstring& keyPath, const wchar_t* name, DWORD& type, std::string& bytes);

// A "Bind" value: "\Device\" + each GUID + NUL, then a NUL.
std::string bindValue(const std::vector<std::wstring>& guids);

// A new tap0901 adapter as TAP-Windows' installer leaves it: no mark.
void writeInstalledAdapter(const std::wstring& subkeyName, const std::wstring& componentId,
                           const std::wstring& instanceId);

// The prefix's device folder behind "\\.\Global\": dosdevices/global, made
// as a folder, whose regular files stand for devices that open.
class TapDeviceFolder {
 public:
  TapDeviceFolder();
  // The device of instanceId opens (share mode 0 keeps it to one user).
  void addDevice(const std::wstring& instanceId);
  void removeDevice(const std::wstring& instanceId);
  // Removes every device.
  void clear();

 private:
  std::wstring devicePath(const std::wstring& instanceId) const;
  std::wstring folder_;
};
