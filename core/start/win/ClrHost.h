#pragma once

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

#include <mscoree.h>

struct IGuiEntry;

// The .NET hosting interfaces MinGW does not declare. Only the slots the
// client calls carry a name; the padding keeps each named method at its place
// in the runtime's table.
#define ZAV_CLR_PAD(n) virtual void STDMETHODCALLTYPE unusedSlot##n() = 0;
#define ZAV_CLR_PAD10(tens)                                                                 \
  ZAV_CLR_PAD(tens##0) ZAV_CLR_PAD(tens##1) ZAV_CLR_PAD(tens##2) ZAV_CLR_PAD(tens##3)      \
  ZAV_CLR_PAD(tens##4) ZAV_CLR_PAD(tens##5) ZAV_CLR_PAD(tens##6) ZAV_CLR_PAD(tens##7)      \
  ZAV_CLR_PAD(tens##8) ZAV_CLR_PAD(tens##9)

struct ICLRMetaHost : public IUnknown {
  // slot 3
  virtual HRESULT STDMETHODCALLTYPE GetRuntime(LPCWSTR version, REFIID iid, void** runtime) = 0;
};

struct ICLRRuntimeInfo : public IUnknown {
  ZAV_CLR_PAD(3) ZAV_CLR_PAD(4) ZAV_CLR_PAD(5) ZAV_CLR_PAD(6) ZAV_CLR_PAD(7) ZAV_CLR_PAD(8)
  // slots 9 and 10
  virtual HRESULT STDMETHODCALLTYPE GetInterface(REFCLSID clsid, REFIID iid, void** out) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsLoadable(BOOL* loadable) = 0;
};

struct _Assembly;
struct _Type;

struct _AppDomain : public IUnknown {
  ZAV_CLR_PAD(3) ZAV_CLR_PAD(4) ZAV_CLR_PAD(5) ZAV_CLR_PAD(6) ZAV_CLR_PAD(7) ZAV_CLR_PAD(8)
  ZAV_CLR_PAD(9) ZAV_CLR_PAD10(1) ZAV_CLR_PAD10(2) ZAV_CLR_PAD10(3)
  ZAV_CLR_PAD(40) ZAV_CLR_PAD(41) ZAV_CLR_PAD(42) ZAV_CLR_PAD(43)
  // slot 44: Load(string assemblyString)
  virtual HRESULT STDMETHODCALLTYPE Load_2(BSTR assemblyString, _Assembly** assembly) = 0;
};

struct _Assembly : public IUnknown {
  ZAV_CLR_PAD(3) ZAV_CLR_PAD(4) ZAV_CLR_PAD(5) ZAV_CLR_PAD(6) ZAV_CLR_PAD(7) ZAV_CLR_PAD(8)
  ZAV_CLR_PAD(9) ZAV_CLR_PAD(10) ZAV_CLR_PAD(11) ZAV_CLR_PAD(12) ZAV_CLR_PAD(13) ZAV_CLR_PAD(14)
  ZAV_CLR_PAD(15) ZAV_CLR_PAD(16)
  // slot 17: GetType(string name)
  virtual HRESULT STDMETHODCALLTYPE GetType_2(BSTR name, _Type** type) = 0;
};

struct _Type : public IUnknown {
  ZAV_CLR_PAD(3) ZAV_CLR_PAD(4) ZAV_CLR_PAD(5) ZAV_CLR_PAD(6) ZAV_CLR_PAD(7) ZAV_CLR_PAD(8)
  ZAV_CLR_PAD(9) ZAV_CLR_PAD10(1) ZAV_CLR_PAD10(2) ZAV_CLR_PAD10(3) ZAV_CLR_PAD10(4)
  ZAV_CLR_PAD(50) ZAV_CLR_PAD(51) ZAV_CLR_PAD(52) ZAV_CLR_PAD(53) ZAV_CLR_PAD(54) ZAV_CLR_PAD(55)
  ZAV_CLR_PAD(56)
  // slot 57: InvokeMember(name, flags, binder, target, args)
  virtual HRESULT STDMETHODCALLTYPE InvokeMember_3(BSTR name, int bindingFlags, IUnknown* binder, VARIANT target,
                                                   SAFEARRAY* args, VARIANT* result) = 0;
};

#undef ZAV_CLR_PAD10
#undef ZAV_CLR_PAD

namespace clrids {
// {9280188D-0E8E-4867-B30C-7FA83884E8DE}
constexpr GUID clsidClrMetaHost = {0x9280188D, 0x0E8E, 0x4867, {0xB3, 0x0C, 0x7F, 0xA8, 0x38, 0x84, 0xE8, 0xDE}};
// {D332DB9E-B9B3-4125-8207-A14884F53216}
constexpr GUID iidClrMetaHost = {0xD332DB9E, 0xB9B3, 0x4125, {0x82, 0x07, 0xA1, 0x48, 0x84, 0xF5, 0x32, 0x16}};
// {BD39D1D2-BA2F-486A-89B0-B4B0CB466891}
constexpr GUID iidClrRuntimeInfo = {0xBD39D1D2, 0xBA2F, 0x486A, {0x89, 0xB0, 0xB4, 0xB0, 0xCB, 0x46, 0x68, 0x91}};
// {CB2F6723-AB3A-11D2-9C40-00C04FA30A3E}
constexpr GUID clsidCorRuntimeHost = {0xCB2F6723, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};
// {CB2F6722-AB3A-11D2-9C40-00C04FA30A3E}
constexpr GUID iidCorRuntimeHost = {0xCB2F6722, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};
// {05F696DC-2B29-3663-AD8B-C4389CF2A713}
constexpr GUID iidAppDomain = {0x05F696DC, 0x2B29, 0x3663, {0xAD, 0x8B, 0xC4, 0x38, 0x9C, 0xF2, 0xA7, 0x13}};
// {6DFB667F-9BC9-4FF9-97F9-A9C74ADEB538}
constexpr GUID iidGuiEntry = {0x6DFB667F, 0x9BC9, 0x4FF9, {0x97, 0xF9, 0xA9, 0xC7, 0x4A, 0xDE, 0xB5, 0x38}};
}  // namespace clrids

// The "Pellion" name as a BSTR made with the thread's ANSI code page; null
// when it can't be made.
BSTR guiAssemblyName();

// The hosted .NET runtime: started by the constructor, stopped by stop. Every
// step that fails ends the process with its own fatal code.
class ClrHost {
 public:
  using CreateInstanceFn = HRESULT(WINAPI*)(REFCLSID clsid, REFIID iid, void** out);

  explicit ClrHost(HMODULE mscoree);
  ClrHost(const ClrHost&) = delete;
  ClrHost& operator=(const ClrHost&) = delete;

  // The GUI's entry object, with the one reference the caller now owns.
  IGuiEntry* loadGui();
  // Stops the runtime and releases the pointers, newest first.
  void stop();

 private:
  ICLRMetaHost* metaHost_ = nullptr;
  ICLRRuntimeInfo* runtimeInfo_ = nullptr;
  ICorRuntimeHost* runtimeHost_ = nullptr;
  _AppDomain* appDomain_ = nullptr;
  _Assembly* assembly_ = nullptr;
  _Type* entryType_ = nullptr;
};
