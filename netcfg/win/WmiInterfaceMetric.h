#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <cstdint>
#include <functional>

#include "netcfg/NetworkConfig.h"

// The two COM calls that reach WMI from outside its interfaces; tests give
// their own. A step's thread keeps its copy until it ends, so the functions
// hold nothing that may go before.
struct WmiAccess {
  // CoCreateInstance of the WMI locator.
  std::function<HRESULT(IWbemLocator** locator)> createLocator;
  // CoSetProxyBlanket on the services proxy.
  std::function<HRESULT(IWbemServices* services)> setProxyBlanket;
  // The longest wait for one instance of the enumeration and for the
  // method's end, so that a step left running on a WMI that hangs there
  // still ends.
  LONG waitMs = 10000;
};

WmiAccess systemWmi();

// Win32_NetworkAdapterConfiguration.SetIPConnectionMetric(1) on the instance
// whose "SettingID" is the adapter's GUID, on the calling thread, which must
// be in a COM apartment. 0 on success, else the code of the step that failed;
// 16 when no instance matched.
int setIpConnectionMetric(const WmiAccess& wmi, const GUID& adapter);

// Runs each call on a thread of its own that joins the multithreaded
// apartment, and waits for it at most stepLimitMs: a WMI that hangs in any of
// its calls costs the caller that long, and the step's thread is left to end
// on its own (it may still set the metric). The thread holds only its own
// copy of the access and a record shared with the caller.
class WmiInterfaceMetric : public InterfaceMetric {
 public:
  // As long as the longest single wait, for the whole step: the tunnel goes
  // on whatever the result, and a step left running may still set the metric.
  static constexpr uint32_t defaultStepLimitMs = 10000;
  // The step ran out of its time limit.
  static constexpr int timedOut = 17;
  // No thread or event for the step could be made.
  static constexpr int notStarted = 18;

  explicit WmiInterfaceMetric(WmiAccess wmi = systemWmi(), uint32_t stepLimitMs = defaultStepLimitMs);
  int setIpConnectionMetric(const AdapterGuid& adapter) override;

 private:
  WmiAccess wmi_;
  uint32_t stepLimitMs_;
};
