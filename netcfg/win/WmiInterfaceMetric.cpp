#include "netcfg/win/WmiInterfaceMetric.h"

#include <wrl/client.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "core/DebugLog.h"
#include "core/DetachedThread.h"
#include "core/FatalError.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"

using Microsoft::WRL::ComPtr;

namespace {

// CLSID_WbemLocator and IID_IWbemLocator, spelt out so no GUID definitions
// are needed from the headers.
const CLSID locatorClass = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID locatorInterface = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

// Allocation failure leaves a null BSTR, which fails the step that passes it.
BSTR allocate(const wchar_t* text) { return SysAllocStringLen(text, static_cast<UINT>(wcslen(text))); }

class Variant {
 public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &value_; }
  const VARIANT& operator*() const { return value_; }

 private:
  VARIANT value_;
};

const wchar_t adapterClass[] = L"Win32_NetworkAdapterConfiguration";
const wchar_t methodName[] = L"SetIPConnectionMetric";

bool matches(IWbemClassObject& instance, const GUID& adapter) {
  Variant settingId;
  if (FAILED(instance.Get(L"SettingID", 0, settingId.get(), nullptr, nullptr))) return false;
  // A null string would parse as the null GUID.
  if ((*settingId).vt != VT_BSTR || !(*settingId).bstrVal) return false;
  GUID id;
  if (IIDFromString((*settingId).bstrVal, &id) != S_OK) return false;
  return std::memcmp(&id, &adapter, sizeof id) == 0;
}

// Semi-synchronous, so the wait for the method's end has a limit.
bool execMethod(IWbemServices& services, BSTR path, BSTR method, IWbemClassObject& input, LONG waitMs,
                ComPtr<IWbemClassObject>& output) {
  ComPtr<IWbemCallResult> call;
  if (FAILED(services.ExecMethod(path, method, WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &input, nullptr,
                                 call.GetAddressOf())) ||
      !call)
    return false;
  LONG status = WBEM_E_FAILED;
  // WBEM_S_TIMEDOUT is a success code: the call still runs.
  if (call->GetCallStatus(waitMs, &status) != WBEM_S_NO_ERROR || FAILED(status)) return false;
  return call->GetResultObject(waitMs, output.GetAddressOf()) == WBEM_S_NO_ERROR && output;
}

int runMethod(IWbemServices& services, IWbemClassObject& instance, IWbemClassObject& input, LONG waitMs) {
  Variant path;
  if (FAILED(instance.Get(L"__PATH", 0, path.get(), nullptr, nullptr))) return 10;
  if ((*path).vt != VT_BSTR) return 11;
  BstrHolder method(allocate(methodName));
  ComPtr<IWbemClassObject> output;
  if (!execMethod(services, (*path).bstrVal, method.get(), input, waitMs, output)) return 12;
  Variant returned;
  if (FAILED(output->Get(L"ReturnValue", 0, returned.get(), nullptr, nullptr))) return 13;
  if ((*returned).vt != VT_I4) return 14;
  const LONG value = (*returned).lVal;
  writeDebugLog("SetIPConnectionMetric: " + std::to_string(value) + "\n");
  return value == 0 || value == 1 ? 0 : 15;
}

// The step's thread is in the multithreaded apartment for the whole step.
class ThreadCom {
 public:
  ThreadCom() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ThreadCom() {
    if (initialised_) CoUninitialize();
  }
  ThreadCom(const ThreadCom&) = delete;
  ThreadCom& operator=(const ThreadCom&) = delete;

 private:
  bool initialised_;
};

// What the caller and the step's thread share; whichever lets go last frees it.
struct StepRecord {
  WinHandle ended{CreateEventW(nullptr, TRUE, FALSE, nullptr), 160};
  std::atomic<int> code{0};
};

}  // namespace

WmiAccess systemWmi() {
  WmiAccess wmi;
  wmi.createLocator = [](IWbemLocator** locator) {
    return CoCreateInstance(locatorClass, nullptr, CLSCTX_INPROC_SERVER, locatorInterface,
                            reinterpret_cast<void**>(locator));
  };
  wmi.setProxyBlanket = [](IWbemServices* services) {
    return CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  };
  return wmi;
}

int setIpConnectionMetric(const WmiAccess& wmi, const GUID& adapter) {
  ComPtr<IWbemLocator> locator;
  if (FAILED(wmi.createLocator(locator.GetAddressOf())) || !locator) return 1;
  ComPtr<IWbemServices> services;
  BstrHolder space(allocate(L"root\\cimv2"));
  if (FAILED(locator->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    services.GetAddressOf())) ||
      !services)
    return 2;
  if (FAILED(wmi.setProxyBlanket(services.Get()))) return 3;
  BstrHolder className(allocate(adapterClass));
  ComPtr<IWbemClassObject> classObject;
  if (FAILED(services->GetObject(className.get(), 0, nullptr, classObject.GetAddressOf(), nullptr)) || !classObject)
    return 4;
  ComPtr<IWbemClassObject> signature;
  if (FAILED(classObject->GetMethod(methodName, 0, signature.GetAddressOf(), nullptr)) || !signature) return 5;
  ComPtr<IWbemClassObject> input;
  if (FAILED(signature->SpawnInstance(0, input.GetAddressOf())) || !input) return 6;
  Variant metric;
  (*metric.get()).vt = VT_I4;
  (*metric.get()).lVal = 1;
  if (FAILED(input->Put(L"IPConnectionMetric", 0, metric.get(), 0))) return 7;
  ComPtr<IEnumWbemClassObject> instances;
  if (FAILED(services->CreateInstanceEnum(className.get(), WBEM_FLAG_FORWARD_ONLY, nullptr, instances.GetAddressOf())) ||
      !instances)
    return 8;
  for (;;) {
    ComPtr<IWbemClassObject> instance;
    ULONG returned = 0;
    HRESULT result = instances->Next(wmi.waitMs, 1, instance.GetAddressOf(), &returned);
    // The end of the enumeration is no failure of Next; WBEM_S_TIMEDOUT is.
    if (result == WBEM_S_FALSE && returned == 0) return 16;
    if (result != WBEM_S_NO_ERROR || returned != 1 || !instance) return 9;
    if (matches(*instance.Get(), adapter)) return runMethod(*services.Get(), *instance.Get(), *input.Get(), wmi.waitMs);
  }
}

WmiInterfaceMetric::WmiInterfaceMetric(WmiAccess wmi, uint32_t stepLimitMs)
    : wmi_(std::move(wmi)), stepLimitMs_(stepLimitMs) {}

int WmiInterfaceMetric::setIpConnectionMetric(const AdapterGuid& adapter) {
  GUID guid;
  std::memcpy(&guid, adapter.data(), sizeof guid);
  auto record = std::make_shared<StepRecord>();
  if (!record->ended) return notStarted;
  try {
    startDetachedThread([record, wmi = wmi_, guid] {
      int code;
      {
        ThreadCom com;
        code = ::setIpConnectionMetric(wmi, guid);
      }
      record->code = code;
      if (!SetEvent(record->ended.get())) fatalError(161);
    });
  } catch (const std::system_error&) {
    return notStarted;
  }
  if (WaitForSingleObject(record->ended.get(), stepLimitMs_) != WAIT_OBJECT_0) {
    writeDebugLog("SetIPConnectionMetric: still running after " + std::to_string(stepLimitMs_) + " ms\n");
    return timedOut;
  }
  return record->code;
}
