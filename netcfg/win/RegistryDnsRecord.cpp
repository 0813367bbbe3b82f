#include "netcfg/win/RegistryDnsRecord.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "core/win/System.h"
#include "core/win/WinHandle.h"

namespace {

const wchar_t valueName[] = L"DnsRestore";
// Far above any record the client writes.
constexpr DWORD sizeLimit = 65536;

}  // namespace

RegistryDnsRecord::RegistryDnsRecord(std::wstring key) : key_(std::move(key)) {}

DnsRecordStore::Read RegistryDnsRecord::read(std::string& text) {
  text.clear();
  HKEY opened = nullptr;
  const LONG open = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_QUERY_VALUE | registryViewFlag(), &opened);
  if (open == ERROR_FILE_NOT_FOUND) return Read::none;
  if (open != ERROR_SUCCESS) return Read::failed;
  WinKey key(opened, winhandle::kNoCloseCode);
  DWORD type = 0;
  DWORD size = 0;
  const LONG query = RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size);
  if (query == ERROR_FILE_NOT_FOUND) return Read::none;
  if (query != ERROR_SUCCESS) return Read::failed;
  // A value this client never writes.
  if (type != REG_BINARY || size > sizeLimit) return Read::unreadable;
  std::vector<BYTE> bytes(size + 1);
  DWORD filled = size;
  // Changed since the first query, it is read again at a later start.
  if (RegQueryValueExW(key.get(), valueName, nullptr, &type, bytes.data(), &filled) != ERROR_SUCCESS ||
      type != REG_BINARY || filled > size)
    return Read::failed;
  text.assign(reinterpret_cast<const char*>(bytes.data()), filled);
  return Read::found;
}

bool RegistryDnsRecord::write(const std::string& text) {
  if (text.size() > sizeLimit) return false;
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | registryViewFlag(), nullptr, &opened, nullptr) != ERROR_SUCCESS)
    return false;
  WinKey key(opened, winhandle::kNoCloseCode);
  if (RegSetValueExW(key.get(), valueName, 0, REG_BINARY, reinterpret_cast<const BYTE*>(text.data()),
                     static_cast<DWORD>(text.size())) != ERROR_SUCCESS)
    return false;
  return RegFlushKey(key.get()) == ERROR_SUCCESS;
}

bool RegistryDnsRecord::remove() {
  HKEY opened = nullptr;
  const LONG open = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_SET_VALUE | registryViewFlag(), &opened);
  if (open == ERROR_FILE_NOT_FOUND) return true;
  if (open != ERROR_SUCCESS) return false;
  WinKey key(opened, winhandle::kNoCloseCode);
  const LONG removed = RegDeleteValueW(key.get(), valueName);
  if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) return false;
  return RegFlushKey(key.get()) == ERROR_SUCCESS;
}
