#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Under HKEY_LOCAL_MACHINE: one subkey per network adapter.
inline constexpr wchar_t adapterClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}";
// Under HKEY_LOCAL_MACHINE: "Bind", the TCP/IP binding order.
inline constexpr wchar_t tcpipLinkageKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Linkage";

// "\\.\Global\" + the adapter's NetCfgInstanceId as read + ".tap".
std::wstring tapDevicePath(const std::wstring& instanceId);
// Whether the adapter's device opens for exclusive use; it is closed at once.
bool canOpenTapDevice(const std::wstring& instanceId);

// Calls visit with every adapter key path (class key + "\" + subkey name) in
// enumeration order until it returns false (the result then is false).
// NumberError 26: no class key; 27: its subkey count unreadable or 0;
// 28: a subkey name can't be enumerated.
bool forEachAdapterKey(const std::function<bool(const std::wstring& adapterKeyPath)>& visit);

// The client's own TAP-Windows adapter: found by its "IsKWEL" mark or
// installed with TAP-Windows' tapinstall and marked, then hidden and put first
// in the TCP/IP binding order. Everything blocks the calling thread (the
// tunnel worker); the registry is always seen in its 64-bit view.
class TapAdapter {
 public:
  // tapWindowsFolder: where TAP-Windows is installed ("bin\tapinstall.exe",
  // "driver\OemVista.inf"). stopEvent (may be null, not owned): a manual-reset
  // event the tunnel's owner sets when it stops; it ends a tapinstall that
  // still runs. folderParent: where tapinstall's admin-only folder is made;
  // the Windows folder's Temp when empty.
  TapAdapter(std::wstring tapWindowsFolder, HANDLE stopEvent, std::wstring folderParent = std::wstring());
  virtual ~TapAdapter() = default;
  TapAdapter(const TapAdapter&) = delete;
  TapAdapter& operator=(const TapAdapter&) = delete;

  // The whole step: found, or installed, marked and found; then hidden and
  // ordered. 0 when the adapter is ready (adapterGuid() names it), or the
  // status that tells the user why not (status::tapinstallFailed,
  // adapterMarkFailed, adapterNotFound, adapterCharacteristicsFailed). The
  // steps are virtual so that a test can fail those no registry fixture can.
  int prepareTapAdapter();

  // The first adapter in enumeration order that is marked, is a tap0901
  // adapter with a GUID and whose device opens; on true its GUID and key path
  // are kept. Every failure means "not found".
  virtual bool findOwnTapAdapter();

  // Runs tapinstall for one more tap0901 adapter, in a new admin-only folder
  // (its current folder, TMP and TEMP) removed after the run, and takes the
  // first adapter key that was not there before; on true its key path is kept
  // (its GUID is taken by the next findOwnTapAdapter). False on any failure,
  // a stop by the stop event and a folder that could not be made included.
  virtual bool installTapAdapter();
  // "IsKWEL" = 1 on the adapter key: the adapter is the client's own.
  virtual bool markOwnAdapter();
  // "Characteristics" = 8 (hidden) on the adapter key.
  virtual bool setAdapterCharacteristics();
  // The own adapter first in "Bind"; a bindOrder result code.
  virtual int moveAdapterFirstInBindOrder();

  const GUID& adapterGuid() const { return adapterGuid_; }
  const std::wstring& adapterKeyPath() const { return adapterKeyPath_; }

 protected:
  GUID adapterGuid_ = {};
  std::wstring adapterKeyPath_;

 private:
  // true when the subkey is the own adapter (its GUID and path then kept).
  bool isOwnAdapter(const std::wstring& subkeyName);

  std::wstring tapWindowsFolder_;
  HANDLE stopEvent_;
  std::wstring folderParent_;
};
