#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <functional>

#include "netcfg/NetworkConfig.h"

// The two COM calls that reach WMI from outside its interfaces; tests give
// their own.
struct WmiAccess {
  // CoCreateInstance of the WMI locator.
  std::function<HRESULT(IWbemLocator** locator)> createLocator;
  // CoSetProxyBlanket on the services proxy.
  std::function<HRESULT(IWbemServices* services)> setProxyBlanket;
  // The longest wait for one instance of the enumeration and for the
  // method's end, so a WMI that hangs fails its step instead.
  LONG waitMs = 10000;
};

WmiAccess systemWmi();

// Win32_NetworkAdapterConfiguration.SetIPConnectionMetric(1) on the instance
// whose "SettingID" is the adapter's GUID. 0 on success, else the code of the
// step that failed; 16 when no instance matched.
int setIpConnectionMetric(const WmiAccess& wmi, const GUID& adapter);

// Initialises COM (multithreaded) on the calling thread at its first call and
// uninitialises it when that thread ends.
class WmiInterfaceMetric : public InterfaceMetric {
 public:
  explicit WmiInterfaceMetric(WmiAccess wmi = systemWmi());
  int setIpConnectionMetric(const AdapterGuid& adapter) override;

 private:
  WmiAccess wmi_;
};
