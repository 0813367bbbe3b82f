#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

// WMI objects for the metric call: each counts its references and records
// what it was asked; a step named by failAt fails as WMI would. A wait that
// hangs runs out its time limit and gives WBEM_S_TIMEDOUT, as WMI documents;
// an unlimited wait on it fails the test rather than hang it. A call named to
// a HangingCall hangs whatever its time limit, until the test releases it.
namespace fakewmi {

// The step that fails, numbered as the metric call's result codes.
enum class Step {
  none = 0,
  locator = 1,
  connect = 2,
  blanket = 3,
  getClass = 4,
  getMethod = 5,
  spawn = 6,
  put = 7,
  enumerate = 8,
  next = 9,
  getPath = 10,
  execMethod = 12,
  getReturnValue = 13,
};

// The calls of the step that can hang.
enum class Call {
  none,
  createLocator,
  connect,
  blanket,
  getClass,
  getMethod,
  spawn,
  enumerate,
  next,
  execMethod,
  callStatus,
  resultObject,
};

// Makes one call hang until the test releases it; it then fails. A call still
// hanging after watchdogMs releases itself, so that code which waits for it
// fails its test (released() is then true before the test released it)
// instead of hanging it.
class HangingCall {
 public:
  static constexpr DWORD watchdogMs = 15000;

  HangingCall()
      : entered_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), released_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~HangingCall() {
    CloseHandle(entered_);
    CloseHandle(released_);
  }
  HangingCall(const HangingCall&) = delete;
  HangingCall& operator=(const HangingCall&) = delete;

  // Any thread: true when call is the one that hangs, once it has hung.
  bool hangsIn(Call call) {
    if (call != hanging) return false;
    SetEvent(entered_);
    if (WaitForSingleObject(released_, watchdogMs) != WAIT_OBJECT_0) release();
    return true;
  }
  // Whether the hanging call was reached by now, waiting at most timeoutMs.
  bool entered(DWORD timeoutMs) const { return WaitForSingleObject(entered_, timeoutMs) == WAIT_OBJECT_0; }
  bool released() const { return WaitForSingleObject(released_, 0) == WAIT_OBJECT_0; }
  void release() { SetEvent(released_); }

  Call hanging = Call::none;

 private:
  HANDLE entered_;
  HANDLE released_;
};

#define FAKEWMI_NOTIMPL(name, ...) \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }

template <class Interface>
class Counted : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  bool hangs(Call call) { return hangingCall && hangingCall->hangsIn(call); }
  // The test's own reference; owned by the test, never deleted by Release.
  std::atomic<ULONG> references{1};
  HangingCall* hangingCall = nullptr;
};

// A class, method signature, instance or output object: named properties.
class ClassObject : public Counted<IWbemClassObject> {
 public:
  ClassObject() = default;
  ~ClassObject() {
    for (auto& property : properties) VariantClear(&property.second);
  }
  void setText(const wchar_t* name, const wchar_t* text) {
    VARIANT& value = properties[name];
    VariantClear(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text);
  }
  void setNumber(const wchar_t* name, LONG number) {
    VARIANT& value = properties[name];
    VariantClear(&value);
    value.vt = VT_I4;
    value.lVal = number;
  }
  void setNull(const wchar_t* name) {
    VARIANT& value = properties[name];
    VariantClear(&value);
    value.vt = VT_NULL;
  }

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE*, LONG*) override {
    gets.push_back(name);
    if (flags != 0 || !value) return WBEM_E_INVALID_PARAMETER;
    if (failGet == name) return WBEM_E_FAILED;
    auto found = properties.find(name);
    if (found == properties.end()) return WBEM_E_NOT_FOUND;
    return VariantCopy(value, &found->second);
  }
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override {
    if (failPut || flags != 0 || type != 0 || !value) return WBEM_E_FAILED;
    return VariantCopy(&properties[name], value);
  }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG flags, IWbemClassObject** instance) override {
    if (hangs(Call::spawn) || !spawned || flags != 0) return WBEM_E_FAILED;
    spawned->AddRef();
    *instance = spawned;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in, IWbemClassObject** out) override {
    methodAsked = name;
    if (hangs(Call::getMethod) || !inSignature || flags != 0 || out) return WBEM_E_FAILED;
    inSignature->AddRef();
    *in = inSignature;
    return S_OK;
  }
  FAKEWMI_NOTIMPL(GetQualifierSet, IWbemQualifierSet**)
  FAKEWMI_NOTIMPL(Delete, LPCWSTR)
  FAKEWMI_NOTIMPL(GetNames, LPCWSTR, LONG, VARIANT*, SAFEARRAY**)
  FAKEWMI_NOTIMPL(BeginEnumeration, LONG)
  FAKEWMI_NOTIMPL(Next, LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*)
  FAKEWMI_NOTIMPL(EndEnumeration)
  FAKEWMI_NOTIMPL(GetPropertyQualifierSet, LPCWSTR, IWbemQualifierSet**)
  FAKEWMI_NOTIMPL(Clone, IWbemClassObject**)
  FAKEWMI_NOTIMPL(GetObjectText, LONG, BSTR*)
  FAKEWMI_NOTIMPL(SpawnDerivedClass, LONG, IWbemClassObject**)
  FAKEWMI_NOTIMPL(CompareTo, LONG, IWbemClassObject*)
  FAKEWMI_NOTIMPL(GetPropertyOrigin, LPCWSTR, BSTR*)
  FAKEWMI_NOTIMPL(InheritsFrom, LPCWSTR)
  FAKEWMI_NOTIMPL(PutMethod, LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*)
  FAKEWMI_NOTIMPL(DeleteMethod, LPCWSTR)
  FAKEWMI_NOTIMPL(BeginMethodEnumeration, LONG)
  FAKEWMI_NOTIMPL(NextMethod, LONG, BSTR*, IWbemClassObject**, IWbemClassObject**)
  FAKEWMI_NOTIMPL(EndMethodEnumeration)
  FAKEWMI_NOTIMPL(GetMethodQualifierSet, LPCWSTR, IWbemQualifierSet**)
  FAKEWMI_NOTIMPL(GetMethodOrigin, LPCWSTR, BSTR*)

  std::map<std::wstring, VARIANT> properties;
  std::wstring failGet;
  bool failPut = false;
  IWbemClassObject* spawned = nullptr;
  IWbemClassObject* inSignature = nullptr;
  std::wstring methodAsked;
  std::vector<std::wstring> gets;
};

// Waits out a call that never ends within timeout; false for an unlimited one.
inline bool hang(LONG timeout) {
  if (timeout == static_cast<LONG>(WBEM_INFINITE) || timeout < 0) {
    ADD_FAILURE() << "a wait without a limit on a call that hangs";
    return false;
  }
  Sleep(static_cast<DWORD>(timeout));
  return true;
}

// A forward-only enumeration of instances; failAt (counted from 1) makes that
// Next fail, hangAt makes it hang.
class Enumeration : public Counted<IEnumWbemClassObject> {
 public:
  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    ++calls;
    timeouts.push_back(timeout);
    if (count != 1 || !objects || !returned) return WBEM_E_INVALID_PARAMETER;
    *returned = 0;
    if (calls == failAt || hangs(Call::next)) return WBEM_E_FAILED;
    if (calls == hangAt) return hang(timeout) ? WBEM_S_TIMEDOUT : WBEM_E_FAILED;
    if (position == instances.size()) return WBEM_S_FALSE;
    instances[position]->AddRef();
    objects[0] = instances[position++];
    *returned = 1;
    return WBEM_S_NO_ERROR;
  }
  FAKEWMI_NOTIMPL(Reset)
  FAKEWMI_NOTIMPL(NextAsync, ULONG, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(Clone, IEnumWbemClassObject**)
  FAKEWMI_NOTIMPL(Skip, LONG, ULONG)

  std::vector<IWbemClassObject*> instances;
  size_t position = 0;
  int calls = 0;
  int failAt = 0;
  int hangAt = 0;
  std::vector<LONG> timeouts;
};

// The semi-synchronous ExecMethod's call: its status (the method's result)
// and output, either of which may hang.
class CallResult : public Counted<IWbemCallResult> {
 public:
  HRESULT STDMETHODCALLTYPE GetCallStatus(LONG timeout, LONG* status) override {
    timeouts.push_back(timeout);
    if (!status) return WBEM_E_INVALID_PARAMETER;
    if (hangs(Call::callStatus)) return WBEM_E_FAILED;
    if (hangStatus) return hang(timeout) ? WBEM_S_TIMEDOUT : WBEM_E_FAILED;
    *status = output ? WBEM_S_NO_ERROR : WBEM_E_FAILED;
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE GetResultObject(LONG timeout, IWbemClassObject** object) override {
    timeouts.push_back(timeout);
    if (!object) return WBEM_E_INVALID_PARAMETER;
    if (hangs(Call::resultObject)) return WBEM_E_FAILED;
    if (hangResult) return hang(timeout) ? WBEM_S_TIMEDOUT : WBEM_E_FAILED;
    if (!output) return WBEM_E_FAILED;
    output->AddRef();
    *object = output;
    return WBEM_S_NO_ERROR;
  }
  FAKEWMI_NOTIMPL(GetResultString, LONG, BSTR*)
  FAKEWMI_NOTIMPL(GetResultServices, LONG, IWbemServices**)

  IWbemClassObject* output = nullptr;
  bool hangStatus = false;
  bool hangResult = false;
  std::vector<LONG> timeouts;
};

class Services : public Counted<IWbemServices> {
 public:
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                                      IWbemCallResult** callResult) override {
    classAsked = path ? path : L"";
    if (hangs(Call::getClass) || !classObject || flags != 0 || context || callResult) return WBEM_E_NOT_FOUND;
    classObject->AddRef();
    *object = classObject;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR filter, LONG flags, IWbemContext* context,
                                               IEnumWbemClassObject** result) override {
    enumeratedClass = filter ? filter : L"";
    enumerationFlags = flags;
    if (hangs(Call::enumerate) || !enumeration || context) return WBEM_E_FAILED;
    enumeration->AddRef();
    *result = enumeration;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                                       IWbemClassObject* in, IWbemClassObject** out, IWbemCallResult** callResult) override {
    execPaths.push_back(path ? path : L"");
    execMethod = method ? method : L"";
    execInput = in;
    if (hangs(Call::execMethod)) return WBEM_E_FAILED;
    // Only the semi-synchronous form: the output comes through the call.
    if (!call || flags != WBEM_FLAG_RETURN_IMMEDIATELY || context || out || !callResult) return WBEM_E_INVALID_PARAMETER;
    call->output = output;
    call->AddRef();
    *callResult = call;
    return WBEM_S_NO_ERROR;
  }
  FAKEWMI_NOTIMPL(OpenNamespace, const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**)
  FAKEWMI_NOTIMPL(CancelAsyncCall, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(QueryObjectSink, LONG, IWbemObjectSink**)
  FAKEWMI_NOTIMPL(GetObjectAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(PutClass, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
  FAKEWMI_NOTIMPL(PutClassAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(DeleteClass, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
  FAKEWMI_NOTIMPL(DeleteClassAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(CreateClassEnum, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
  FAKEWMI_NOTIMPL(CreateClassEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(PutInstance, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
  FAKEWMI_NOTIMPL(PutInstanceAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(DeleteInstance, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
  FAKEWMI_NOTIMPL(DeleteInstanceAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(CreateInstanceEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(ExecQuery, const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
  FAKEWMI_NOTIMPL(ExecQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(ExecNotificationQuery, const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
  FAKEWMI_NOTIMPL(ExecNotificationQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
  FAKEWMI_NOTIMPL(ExecMethodAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*)

  IWbemClassObject* classObject = nullptr;
  IEnumWbemClassObject* enumeration = nullptr;
  IWbemClassObject* output = nullptr;
  CallResult* call = nullptr;
  std::wstring classAsked;
  std::wstring enumeratedClass;
  LONG enumerationFlags = -1;
  std::vector<std::wstring> execPaths;
  std::wstring execMethod;
  IWbemClassObject* execInput = nullptr;
};

class Locator : public Counted<IWbemLocator> {
 public:
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user, const BSTR password, const BSTR locale,
                                          LONG flags, const BSTR authority, IWbemContext* context,
                                          IWbemServices** result) override {
    namespaceAsked = resource ? resource : L"";
    if (hangs(Call::connect) || !services || user || password || locale || flags != 0 || authority || context)
      return WBEM_E_ACCESS_DENIED;
    services->AddRef();
    *result = services;
    return S_OK;
  }
  IWbemServices* services = nullptr;
  std::wstring namespaceAsked;
};

#undef FAKEWMI_NOTIMPL

}  // namespace fakewmi
