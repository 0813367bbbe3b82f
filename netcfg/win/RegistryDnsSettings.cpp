#include "netcfg/win/RegistryDnsSettings.h"

// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>
#include <objbase.h>
// clang-format on

#include <utility>
#include <vector>

#include "core/Text.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"

namespace {

constexpr size_t pathLimit = 260;

bool interfaceGuid(uint32_t interfaceIndex, GUID& guid) {
  NET_LUID luid;
  if (ConvertInterfaceIndexToLuid(interfaceIndex, &luid) != NO_ERROR) return false;
  return ConvertInterfaceLuidToGuid(&luid, &guid) == NO_ERROR;
}

}  // namespace

RegistryDnsSettings::RegistryDnsSettings(std::wstring interfacesKey) : interfacesKey_(std::move(interfacesKey)) {}

std::string RegistryDnsSettings::identity(uint32_t interfaceIndex) {
  GUID guid;
  return interfaceGuid(interfaceIndex, guid) ? guidToString(guid) : std::string("-");
}

bool RegistryDnsSettings::currentIndex(const std::string& identity, uint32_t& interfaceIndex) {
  // Only the braced form identity() writes.
  const std::wstring text = fromUtf8(identity);
  GUID guid;
  if (text.size() != 38 || FAILED(IIDFromString(text.c_str(), &guid))) return false;
  NET_LUID luid;
  if (ConvertInterfaceGuidToLuid(&guid, &luid) != NO_ERROR) return false;
  NET_IFINDEX index = 0;
  if (ConvertInterfaceLuidToIndex(&luid, &index) != NO_ERROR) return false;
  interfaceIndex = index;
  return true;
}

DnsSetting RegistryDnsSettings::read(uint32_t interfaceIndex) {
  GUID guid;
  if (!interfaceGuid(interfaceIndex, guid)) return {};
  const std::wstring path = interfacesKey_ + L"\\" + fromUtf8(guidToString(guid));
  if (path.size() + 1 > pathLimit) return {};
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | registryViewFlag(), &opened) !=
      ERROR_SUCCESS)
    return {};
  WinKey key(opened, winhandle::kNoCloseCode);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), L"NameServer", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ ||
      size == 0)
    return {};
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  DWORD filled = size;
  if (RegQueryValueExW(key.get(), L"NameServer", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &filled) !=
          ERROR_SUCCESS ||
      type != REG_SZ || filled > size)
    return {};
  std::wstring value(text.data());
  return DnsSetting{parseNameServers(toUtf8(value))};
}
