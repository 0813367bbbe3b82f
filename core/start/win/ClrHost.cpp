#include "core/start/win/ClrHost.h"

#include "bridge/win/GuiInterfaces.h"
#include "core/FatalError.h"
#include "core/win/System.h"

namespace {
const char guiAssembly[] = "Pellion";

template <class T>
void releaseAndClear(T*& pointer) {
  if (pointer) pointer->Release();
  pointer = nullptr;
}
}  // namespace

BSTR guiAssemblyName() {
  int length = MultiByteToWideChar(CP_ACP, 0, guiAssembly, -1, nullptr, 0);
  if (length <= 0) return nullptr;
  BSTR name = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
  if (!name) return nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, guiAssembly, -1, name, length) != length) {
    SysFreeString(name);
    return nullptr;
  }
  return name;
}

ClrHost::ClrHost(HMODULE mscoree) {
  auto createInstance = reinterpret_cast<CreateInstanceFn>(
      reinterpret_cast<void*>(GetProcAddress(mscoree, "CLRCreateInstance")));
  if (!createInstance) fatalError(117);

  void* out = nullptr;
  if (FAILED(createInstance(clrids::clsidClrMetaHost, clrids::iidClrMetaHost, &out)) || !out) fatalError(118);
  metaHost_ = static_cast<ICLRMetaHost*>(out);

  out = nullptr;
  if (FAILED(metaHost_->GetRuntime(L"v4.0.30319", clrids::iidClrRuntimeInfo, &out)) || !out) fatalError(119);
  runtimeInfo_ = static_cast<ICLRRuntimeInfo*>(out);

  BOOL loadable = FALSE;
  if (FAILED(runtimeInfo_->IsLoadable(&loadable)) || !loadable) fatalError(120);

  out = nullptr;
  if (FAILED(runtimeInfo_->GetInterface(clrids::clsidCorRuntimeHost, clrids::iidCorRuntimeHost, &out)) || !out) {
    fatalError(121);
  }
  runtimeHost_ = static_cast<ICorRuntimeHost*>(out);

  if (FAILED(runtimeHost_->Start())) fatalError(122);

  IUnknown* domain = nullptr;
  if (FAILED(runtimeHost_->GetDefaultDomain(&domain)) || !domain) fatalError(123);
  out = nullptr;
  HRESULT queried = domain->QueryInterface(clrids::iidAppDomain, &out);
  domain->Release();
  if (FAILED(queried) || !out) fatalError(124);
  appDomain_ = static_cast<_AppDomain*>(out);
}

IGuiEntry* ClrHost::loadGui() {
  {
    BstrHolder name(guiAssemblyName());
    if (!name.get() || FAILED(appDomain_->Load_2(name.get(), &assembly_)) || !assembly_) fatalError(125);
  }
  {
    BstrHolder typeName(SysAllocString(L"_"));
    if (!typeName.get() || FAILED(assembly_->GetType_2(typeName.get(), &entryType_)) || !entryType_) {
      fatalError(126);
    }
  }

  SAFEARRAY* args = SafeArrayCreateVector(VT_VARIANT, 0, 0);
  VARIANT target;
  VariantInit(&target);
  VARIANT result;
  VariantInit(&result);
  {
    BstrHolder method(SysAllocString(L"__"));
    const int invokeMethodPublicStatic = 0x100 | 0x10 | 0x8;
    if (!args || !method.get() ||
        FAILED(entryType_->InvokeMember_3(method.get(), invokeMethodPublicStatic, nullptr, target, args, &result))) {
      fatalError(127);
    }
  }
  if (result.vt != VT_UNKNOWN || !result.punkVal) fatalError(128);
  void* entry = nullptr;
  if (FAILED(result.punkVal->QueryInterface(clrids::iidGuiEntry, &entry)) || !entry) fatalError(129);
  VariantClear(&result);
  SafeArrayDestroy(args);
  return static_cast<IGuiEntry*>(entry);
}

void ClrHost::stop() {
  if (runtimeHost_ && FAILED(runtimeHost_->Stop())) fatalError(130);
  releaseAndClear(entryType_);
  releaseAndClear(assembly_);
  releaseAndClear(appDomain_);
  releaseAndClear(runtimeHost_);
  releaseAndClear(runtimeInfo_);
  releaseAndClear(metaHost_);
}
