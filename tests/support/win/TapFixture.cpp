#include "tests/support/win/TapFixture.h"

#include <fstream>
#include <stdexcept>

#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "netcfg/win/TapAdapter.h"

namespace {

// An empty holder when the key can't be opened.
WinKey openKey(const std::wstring& keyPath, REGSAM access) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, access | registryViewFlag(), &key) != ERROR_SUCCESS)
    return WinKey();
  return WinKey(key, winhandle::kNoCloseCode);
}

WinKey createKey(const std::wstring& keyPath) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | registryViewFlag(), nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("fixture: cannot create a registry key");
  return WinKey(key, winhandle::kNoCloseCode);
}

std::string bytesOf(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

}  // namespace

void setRegistryValue(const std::wstring& keyPath, const wchar_t* name, DWORD type, const std::string& bytes) {
  WinKey key = createKey(keyPath);
  if (RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                     static_cast<DWORD>(bytes.size())) != ERROR_SUCCESS)
    throw std::runtime_error("fixture: cannot write a registry value");
}

void setRegistryDword(const std::wstring& keyPath, const wchar_t* name, DWORD value) {
  setRegistryValue(keyPath, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

void setRegistryString(const std::wstring& keyPath, const wchar_t* name, const std::wstring& text) {
  setRegistryValue(keyPath, name, REG_SZ, bytesOf(text));
}

void createRegistryKey(const std::wstring& keyPath) { createKey(keyPath); }

void deleteRegistryTree(const std::wstring& keyPath) {
  WinKey key = openKey(keyPath, KEY_ALL_ACCESS);
  if (!key) return;
  LSTATUS deleted = RegDeleteTreeW(key.get(), nullptr);
  key.reset();
  if (deleted != ERROR_SUCCESS ||
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), registryViewFlag(), 0) != ERROR_SUCCESS)
    throw std::runtime_error("fixture: cannot delete a registry key");
}

size_t subkeyCount(const std::wstring& keyPath) {
  WinKey key = openKey(keyPath, KEY_READ);
  DWORD count = 0;
  if (!key || RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return 0;
  return count;
}

bool readRegistryValue(const std::wstring& keyPath, const wchar_t* name, DWORD& type, std::string& bytes) {
  WinKey key = openKey(keyPath, KEY_READ);
  if (!key) return false;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  bytes.assign(size, '\0');
  if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&bytes[0]), &size) != ERROR_SUCCESS)
    return false;
  bytes.resize(size);
  return true;
}

std::string bindValue(const std::vector<std::wstring>& guids) {
  std::wstring text;
  for (const std::wstring& guid : guids) text += L"\\Device\\" + guid + std::wstring(1, L'\0');
  text.push_back(L'\0');
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

void writeInstalledAdapter(const std::wstring& subkeyName, const std::wstring& componentId,
                           const std::wstring& instanceId) {
  std::wstring path = std::wstring(adapterClassKey) + L"\\" + subkeyName;
  setRegistryString(path, L"ComponentId", componentId);
  setRegistryString(path, L"NetCfgInstanceId", instanceId);
  setRegistryDword(path, L"Characteristics", 0x81);
}

TapDeviceFolder::TapDeviceFolder() {
  wchar_t prefix[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) throw std::runtime_error("fixture: WINEPREFIX is not set");
  std::wstring unixPath(prefix, length);
  for (wchar_t& c : unixPath)
    if (c == L'/') c = L'\\';
  folder_ = L"Z:" + unixPath + L"\\dosdevices\\global";
  if (!CreateDirectoryW(folder_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    throw std::runtime_error("fixture: cannot make the device folder");
}

std::wstring TapDeviceFolder::devicePath(const std::wstring& instanceId) const {
  return folder_ + L"\\" + instanceId + L".tap";
}

void TapDeviceFolder::addDevice(const std::wstring& instanceId) {
  std::ofstream out(devicePath(instanceId).c_str(), std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("fixture: cannot make a device file");
}

void TapDeviceFolder::removeDevice(const std::wstring& instanceId) { DeleteFileW(devicePath(instanceId).c_str()); }

void TapDeviceFolder::clear() {
  deleteTree(folder_);
  if (!CreateDirectoryW(folder_.c_str(), nullptr)) throw std::runtime_error("fixture: cannot make the device folder");
}
