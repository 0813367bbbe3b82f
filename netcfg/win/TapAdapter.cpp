#include "netcfg/win/TapAdapter.h"

#include <exception>
#include <memory>
#include <set>
#include <utility>

#include "core/DebugLog.h"
#include "core/NumberError.h"
#include "core/QuoteArgument.h"
#include "core/StatusCodes.h"
#include "core/Text.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/ChildProcess.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "netcfg/TapBindOrder.h"

namespace {

// Registry key names are at most 255 characters; the buffer holds the NUL too.
constexpr DWORD keyNameBuffer = 256;

void logLine(const std::wstring& text) { writeDebugLog(toUtf8(text) + "\n"); }

std::wstring adapterKeyPathOf(const std::wstring& subkeyName) {
  return std::wstring(adapterClassKey) + L"\\" + subkeyName;
}

// Every key in its 64-bit view; an empty holder when it can't be opened.
WinKey openKey(const wchar_t* path, REGSAM access) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | registryViewFlag(), &opened) != ERROR_SUCCESS)
    return WinKey();
  return WinKey(opened, winhandle::kNoCloseCode);
}

bool readSubkeyCount(HKEY key, DWORD& count) {
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr) == ERROR_SUCCESS &&
         count != 0;
}

bool enumSubkeyName(HKEY key, DWORD index, std::wstring& name) {
  wchar_t buffer[keyNameBuffer];
  DWORD length = keyNameBuffer;
  if (RegEnumKeyExW(key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
  name.assign(buffer, length);
  return true;
}

enum class StringValue { missing, unusable, read };

// A non-empty REG_SZ, cut at its first NUL. The buffer is as large as the
// size the value reports, rounded up, so an odd size can't write past it.
StringValue readStringValue(HKEY key, const wchar_t* name, std::wstring& text) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return StringValue::missing;
  if (type != REG_SZ || size == 0) return StringValue::unusable;
  std::wstring value((size + 1) / 2, L'\0');
  DWORD capacity = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &capacity) != ERROR_SUCCESS ||
      type != REG_SZ)
    return StringValue::unusable;
  value.resize((capacity + 1) / 2);
  trimAtNul(value);
  text = std::move(value);
  return StringValue::read;
}

bool isMarked(HKEY key) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, L"IsKWEL", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_DWORD ||
      size != sizeof(DWORD))
    return false;
  DWORD mark = 0;
  if (RegQueryValueExW(key, L"IsKWEL", nullptr, &type, reinterpret_cast<BYTE*>(&mark), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(DWORD))
    return false;
  return mark != 0;
}

// Opens the adapter key path and writes one REG_DWORD; the key is closed either way.
bool writeAdapterDword(const std::wstring& adapterKeyPath, const wchar_t* name, DWORD value) {
  // An empty path would open HKEY_LOCAL_MACHINE itself.
  if (adapterKeyPath.empty()) return false;
  WinKey key = openKey(adapterKeyPath.c_str(), KEY_READ | KEY_SET_VALUE);
  if (!key) return false;
  return RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
         ERROR_SUCCESS;
}

BindGuid bindGuidOf(const GUID& guid) {
  BindGuid bind;
  bind.data1 = guid.Data1;
  bind.data2 = guid.Data2;
  bind.data3 = guid.Data3;
  for (int i = 0; i < 8; ++i) bind.data4[i] = guid.Data4[i];
  return bind;
}

std::wstring wideOf(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

std::wstring tapDevicePath(const std::wstring& instanceId) { return L"\\\\.\\Global\\" + instanceId + L".tap"; }

bool canOpenTapDevice(const std::wstring& instanceId) {
  WinFile device(CreateFileW(tapDevicePath(instanceId).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_SYSTEM | FILE_FLAG_OVERLAPPED, nullptr),
                 winhandle::kNoCloseCode);
  if (!device) {
    logLine(L"GLE: " + std::to_wstring(GetLastError()));
    return false;
  }
  return true;
}

bool forEachAdapterKey(const std::function<bool(const std::wstring& adapterKeyPath)>& visit) {
  WinKey classKey = openKey(adapterClassKey, KEY_READ);
  if (!classKey) throw NumberError(26);
  DWORD count = 0;
  if (!readSubkeyCount(classKey.get(), count)) throw NumberError(27);
  for (DWORD index = 0; index < count; ++index) {
    std::wstring name;
    if (!enumSubkeyName(classKey.get(), index, name)) throw NumberError(28);
    if (!visit(adapterKeyPathOf(name))) return false;
  }
  return true;
}

TapAdapter::TapAdapter(std::wstring tapWindowsFolder, HANDLE stopEvent, std::wstring folderParent)
    : tapWindowsFolder_(std::move(tapWindowsFolder)), stopEvent_(stopEvent), folderParent_(std::move(folderParent)) {}

bool TapAdapter::findOwnTapAdapter() {
  WinKey classKey = openKey(adapterClassKey, KEY_READ);
  if (!classKey) return false;
  DWORD count = 0;
  if (!readSubkeyCount(classKey.get(), count)) return false;
  for (DWORD index = 0; index < count; ++index) {
    std::wstring name;
    if (!enumSubkeyName(classKey.get(), index, name)) return false;
    if (isOwnAdapter(name)) return true;
  }
  return false;
}

bool TapAdapter::isOwnAdapter(const std::wstring& subkeyName) {
  std::wstring path = adapterKeyPathOf(subkeyName);
  WinKey key = openKey(path.c_str(), KEY_READ | KEY_SET_VALUE);
  if (!key) return false;
  if (!isMarked(key.get())) return false;

  std::wstring instanceId;
  StringValue read = readStringValue(key.get(), L"NetCfgInstanceId", instanceId);
  if (read == StringValue::missing) logLine(L"NetCfgInstanceId not found, " + subkeyName);
  if (read != StringValue::read) return false;
  // Only the braced form: some IIDFromString versions turn an empty text into
  // the null GUID.
  GUID guid;
  if (instanceId.size() != 38 || FAILED(IIDFromString(instanceId.c_str(), &guid))) return false;

  std::wstring componentId;
  read = readStringValue(key.get(), L"ComponentId", componentId);
  if (read == StringValue::missing) logLine(L"ComponentId not found, " + subkeyName);
  if (read != StringValue::read) return false;
  if (componentId != L"tap0901") {
    logLine(L"invalid ComponentId: " + componentId + L", " + subkeyName);
    return false;
  }

  if (!canOpenTapDevice(instanceId)) {
    logLine(L"Not openable: " + subkeyName + L", " + instanceId);
    return false;
  }
  adapterGuid_ = guid;
  adapterKeyPath_ = path;
  logLine(L"MyTap Found: " + subkeyName + L", " + instanceId);
  return true;
}

int TapAdapter::prepareTapAdapter() {
  if (!findOwnTapAdapter()) {
    if (!installTapAdapter()) return status::tapinstallFailed;
    if (!markOwnAdapter()) return status::adapterMarkFailed;
    if (!findOwnTapAdapter()) return status::adapterNotFound;
  }
  if (!setAdapterCharacteristics()) return status::adapterCharacteristicsFailed;
  // The order is a preference: the tunnel works without it.
  moveAdapterFirstInBindOrder();
  return 0;
}

bool TapAdapter::installTapAdapter() {
  std::set<std::wstring> before;
  try {
    forEachAdapterKey([&](const std::wstring& path) {
      before.insert(path);
      return true;
    });
  } catch (const std::exception&) {
    return false;
  }

  std::wstring tapinstall = joinPath(tapWindowsFolder_, L"bin\\tapinstall.exe");
  std::wstring inf = joinPath(tapWindowsFolder_, L"driver\\OemVista.inf");
  std::wstring commandLine = quoteArgument(tapinstall) + L" install " + quoteArgument(inf) + L" tap0901";
  try {
    // It installs a driver with administrator rights: what it unpacks and
    // loads from its temporary or current folder must be out of others' reach.
    std::unique_ptr<AdminOnlyFolder> folder = AdminOnlyFolder::create(folderParent_);
    if (!folder) return false;
    if (runAndWait(tapinstall, commandLine, stopEvent_, INFINITE, ChildFolders::inside(folder->path())) != 0)
      return false;
  } catch (const std::exception&) {
    return false;
  }
  logLine(L"tapinstall done");

  std::wstring added;
  bool found = false;
  try {
    found = !forEachAdapterKey([&](const std::wstring& path) {
      if (before.count(path)) return true;
      added = path;
      return false;
    });
  } catch (const std::exception&) {
    return false;
  }
  if (!found) return false;
  adapterKeyPath_ = added;
  logLine(L"new TAP: regIndex = " + added);
  return true;
}

bool TapAdapter::markOwnAdapter() { return writeAdapterDword(adapterKeyPath_, L"IsKWEL", 1); }

bool TapAdapter::setAdapterCharacteristics() {
  const DWORD hidden = 8;  // NCF_HIDDEN
  return writeAdapterDword(adapterKeyPath_, L"Characteristics", hidden);
}

int TapAdapter::moveAdapterFirstInBindOrder() {
  WinKey key = openKey(tcpipLinkageKey, KEY_READ | KEY_WRITE);
  if (!key) return bindOrder::keyNotOpened;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), L"Bind", nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return bindOrder::valueNotQueried;
  if (type != REG_MULTI_SZ || size == 0) return bindOrder::valueNotMultiString;
  std::string value(size, '\0');
  if (RegQueryValueExW(key.get(), L"Bind", nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size) !=
          ERROR_SUCCESS ||
      type != REG_MULTI_SZ)
    return bindOrder::valueNotRead;
  value.resize(size);

  BindRewrite rewrite = rewriteBindOrder(value, bindGuidOf(adapterGuid_));
  if (rewrite.result != bindOrder::rewritten) return rewrite.result;
  logLine(L"===Binding Order===");
  for (const BindGuid& guid : rewrite.order) logLine(wideOf(bracedGuidText(guid)));
  logLine(L"===Binding Order End===");
  if (RegSetValueExW(key.get(), L"Bind", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(rewrite.value.data()),
                     static_cast<DWORD>(rewrite.value.size())) != ERROR_SUCCESS)
    return bindOrder::valueNotWritten;
  return bindOrder::rewritten;
}
