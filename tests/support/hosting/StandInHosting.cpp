// The runtime hosting chain of the stand-in "mscoree.dll", built by vtable
// slot: every slot the client is not meant to call traps, records its number
// and ends the process with exit code 3.

#include <windows.h>
#include <oaidl.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "tests/support/hosting/StandIn.h"
#include "tests/support/hosting/StandInGui.h"

namespace {
using standin::error;
using standin::failing;
using standin::record;

// The runtime's identifiers, written out here on their own so that a wrong
// constant in the client does not go unnoticed.
const GUID clsidMetaHost = {0x9280188D, 0x0E8E, 0x4867, {0xB3, 0x0C, 0x7F, 0xA8, 0x38, 0x84, 0xE8, 0xDE}};
const GUID iidMetaHost = {0xD332DB9E, 0xB9B3, 0x4125, {0x82, 0x07, 0xA1, 0x48, 0x84, 0xF5, 0x32, 0x16}};
const GUID iidRuntimeInfo = {0xBD39D1D2, 0xBA2F, 0x486A, {0x89, 0xB0, 0xB4, 0xB0, 0xCB, 0x46, 0x68, 0x91}};
const GUID clsidCorRuntimeHost = {0xCB2F6723, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};
const GUID iidCorRuntimeHost = {0xCB2F6722, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};
const GUID iidAppDomain = {0x05F696DC, 0x2B29, 0x3663, {0xAD, 0x8B, 0xC4, 0x38, 0x9C, 0xF2, 0xA7, 0x13}};

constexpr size_t tableSize = 64;
using Table = std::array<void*, tableSize>;

struct HostObject {
  const Table* vtable;
  standin::Counted counted;
  HostObject(const Table* table, const char* name) : vtable(table), counted(name) {}
};

template <size_t Slot>
HRESULT STDMETHODCALLTYPE trapSlot(HostObject* self) {
  error(std::string("slot ") + std::to_string(Slot) + " of " + self->counted.name() + " called");
  TerminateProcess(GetCurrentProcess(), 3);
  return E_FAIL;
}

template <size_t... Slots>
Table trapTable(std::index_sequence<Slots...>) {
  return Table{reinterpret_cast<void*>(&trapSlot<Slots>)...};
}

void* out(HostObject* object) { return object; }

HRESULT STDMETHODCALLTYPE queryInterface(HostObject* self, REFIID iid, void** result) {
  record(std::string(self->counted.name()) + "::QueryInterface " + standin::guidText(iid));
  *result = nullptr;
  if (std::strcmp(self->counted.name(), "AppDomain") == 0 && iid == iidAppDomain) {
    if (failing("QueryAppDomain")) return E_NOINTERFACE;
    if (failing("QueryAppDomain", "null")) return S_OK;
    self->counted.addRef();
    *result = self;
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE addRef(HostObject* self) { return self->counted.addRef(); }
ULONG STDMETHODCALLTYPE release(HostObject* self) { return self->counted.release(); }

Table makeTable(std::initializer_list<std::pair<size_t, void*>> slots) {
  Table table = trapTable(std::make_index_sequence<tableSize>());
  table[0] = reinterpret_cast<void*>(&queryInterface);
  table[1] = reinterpret_cast<void*>(&addRef);
  table[2] = reinterpret_cast<void*>(&release);
  for (const auto& slot : slots) table[slot.first] = slot.second;
  return table;
}

// Each step: an error result, or success without an object, when told so.
HRESULT handOut(const char* step, HostObject* object, void** result) {
  *result = nullptr;
  if (failing(step)) return E_FAIL;
  if (failing(step, "null")) return S_OK;
  *result = out(object);
  return S_OK;
}

std::string bstrText(BSTR text) { return standin::narrow(text); }

// _Type, slot 57: InvokeMember(name, flags, binder, target, args).
HRESULT STDMETHODCALLTYPE invokeMember3(HostObject*, BSTR name, int flags, IUnknown* binder, VARIANT target,
                                        SAFEARRAY* args, VARIANT* result) {
  standin::checkThread("_Type::InvokeMember_3");
  record("_Type::InvokeMember_3 " + bstrText(name) + " flags=" + std::to_string(flags));
  if (bstrText(name) != "__" || SysStringLen(name) != 2) error("InvokeMember_3 name " + bstrText(name));
  if (flags != 0x118) error("InvokeMember_3 flags " + std::to_string(flags));
  if (binder) error("InvokeMember_3 with a binder");
  if (target.vt != VT_EMPTY) error("InvokeMember_3 target type " + std::to_string(target.vt));
  VARTYPE elementType = VT_EMPTY;
  if (!args || SafeArrayGetDim(args) != 1 || FAILED(SafeArrayGetVartype(args, &elementType)) ||
      elementType != VT_VARIANT || args->rgsabound[0].cElements != 0) {
    error("InvokeMember_3 arguments are not an empty array of VARIANT");
  }
  if (!result || result->vt != VT_EMPTY) error("InvokeMember_3 result not an empty VARIANT");
  if (failing("InvokeMember_3")) return E_FAIL;
  if (failing("InvokeMember_3", "int")) {
    result->vt = VT_I4;
    result->lVal = 42;
    return S_OK;
  }
  result->vt = VT_UNKNOWN;
  result->punkVal = failing("InvokeMember_3", "null") ? nullptr : standin::createGuiEntry();
  return S_OK;
}
const Table typeTable = makeTable({{57, reinterpret_cast<void*>(&invokeMember3)}});

// _Assembly, slot 17: GetType(name).
HRESULT STDMETHODCALLTYPE getType2(HostObject*, BSTR name, void** result) {
  standin::checkThread("_Assembly::GetType_2");
  record("_Assembly::GetType_2 " + bstrText(name));
  if (bstrText(name) != "_") error("GetType_2 of " + bstrText(name));
  return handOut("GetType_2", new HostObject(&typeTable, "Type"), result);
}
const Table assemblyTable = makeTable({{17, reinterpret_cast<void*>(&getType2)}});

// _AppDomain, slot 44: Load(assemblyString).
HRESULT STDMETHODCALLTYPE load2(HostObject*, BSTR name, void** result) {
  standin::checkThread("_AppDomain::Load_2");
  record("_AppDomain::Load_2 " + bstrText(name));
  if (bstrText(name) != "Pellion" || SysStringLen(name) != 7) error("Load_2 of " + bstrText(name));
  return handOut("Load_2", new HostObject(&assemblyTable, "Assembly"), result);
}
const Table domainTable = makeTable({{44, reinterpret_cast<void*>(&load2)}});

// ICorRuntimeHost: Start 10, Stop 11, GetDefaultDomain 13.
HRESULT STDMETHODCALLTYPE start(HostObject*) {
  standin::checkThread("ICorRuntimeHost::Start");
  record("ICorRuntimeHost::Start");
  return failing("Start") ? E_FAIL : S_OK;
}
HRESULT STDMETHODCALLTYPE stop(HostObject*) {
  standin::checkThread("ICorRuntimeHost::Stop");
  record("ICorRuntimeHost::Stop");
  return failing("Stop") ? E_FAIL : S_OK;
}
HRESULT STDMETHODCALLTYPE getDefaultDomain(HostObject*, void** result) {
  standin::checkThread("ICorRuntimeHost::GetDefaultDomain");
  record("ICorRuntimeHost::GetDefaultDomain");
  return handOut("GetDefaultDomain", new HostObject(&domainTable, "AppDomain"), result);
}
const Table runtimeHostTable = makeTable({{10, reinterpret_cast<void*>(&start)},
                                          {11, reinterpret_cast<void*>(&stop)},
                                          {13, reinterpret_cast<void*>(&getDefaultDomain)}});

// ICLRRuntimeInfo: GetInterface 9, IsLoadable 10.
HRESULT STDMETHODCALLTYPE getInterface(HostObject*, REFCLSID clsid, REFIID iid, void** result) {
  standin::checkThread("ICLRRuntimeInfo::GetInterface");
  record("ICLRRuntimeInfo::GetInterface");
  if (clsid != clsidCorRuntimeHost || iid != iidCorRuntimeHost) {
    error("GetInterface of " + standin::guidText(clsid) + " " + standin::guidText(iid));
  }
  return handOut("GetInterface", new HostObject(&runtimeHostTable, "CorRuntimeHost"), result);
}
HRESULT STDMETHODCALLTYPE isLoadable(HostObject*, BOOL* loadable) {
  standin::checkThread("ICLRRuntimeInfo::IsLoadable");
  record("ICLRRuntimeInfo::IsLoadable");
  if (failing("IsLoadable")) return E_FAIL;
  *loadable = failing("IsLoadable", "false") ? FALSE : TRUE;
  return S_OK;
}
const Table runtimeInfoTable =
    makeTable({{9, reinterpret_cast<void*>(&getInterface)}, {10, reinterpret_cast<void*>(&isLoadable)}});

// ICLRMetaHost: GetRuntime 3.
HRESULT STDMETHODCALLTYPE getRuntime(HostObject*, LPCWSTR version, REFIID iid, void** result) {
  standin::checkThread("ICLRMetaHost::GetRuntime");
  record("ICLRMetaHost::GetRuntime " + standin::narrow(version));
  if (standin::narrow(version) != "v4.0.30319" || iid != iidRuntimeInfo) {
    error("GetRuntime of " + standin::narrow(version) + " " + standin::guidText(iid));
  }
  return handOut("GetRuntime", new HostObject(&runtimeInfoTable, "RuntimeInfo"), result);
}
const Table metaHostTable = makeTable({{3, reinterpret_cast<void*>(&getRuntime)}});
}  // namespace

#ifndef ZAV_STANDIN_WITHOUT_CLR_CREATE
extern "C" __declspec(dllexport) HRESULT WINAPI CLRCreateInstance(REFCLSID clsid, REFIID iid, void** result) {
  standin::setMainThread();
  record("CLRCreateInstance");
  if (clsid != clsidMetaHost || iid != iidMetaHost) {
    error("CLRCreateInstance of " + standin::guidText(clsid) + " " + standin::guidText(iid));
  }
  return handOut("CLRCreateInstance", new HostObject(&metaHostTable, "MetaHost"), result);
}
#endif

#ifndef ZAV_STANDIN_WITHOUT_EXIT
extern "C" __declspec(dllexport) void WINAPI CorExitProcess(int code) {
  standin::checkThread("CorExitProcess");
  record("CorExitProcess " + std::to_string(code));
  standin::checkLeaks();
  ExitProcess(static_cast<UINT>(code));
}
#endif

namespace {
// The client's message boxes, recorded instead of shown: Wine without a
// display would show nothing a test could read.
int WINAPI recordMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT flags) {
  std::string shown = standin::narrow(text);
  for (size_t at = shown.find('\n'); at != std::string::npos; at = shown.find('\n', at + 2)) {
    shown.replace(at, 1, "\\n");
  }
  char flagText[16];
  std::snprintf(flagText, sizeof flagText, "0x%X", flags);
  record("MessageBoxW \"" + shown + "\" caption=" + (caption ? "\"" + standin::narrow(caption) + "\"" : "null") +
         " owner=" + (owner ? "set" : "null") + " flags=" + flagText);
  return IDOK;
}

// Points the client's import of user32's MessageBoxW at the recorder.
void hookMessageBox() {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!imports.VirtualAddress) return;
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name;
       ++entry) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), "user32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "MessageBoxW") != 0) continue;
      DWORD old = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&recordMessageBox);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
    }
  }
}
}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  // Loaded by the client's WinMain, on its main thread.
  if (reason == DLL_PROCESS_ATTACH) {
    standin::setMainThread();
    hookMessageBox();
  }
  return TRUE;
}
