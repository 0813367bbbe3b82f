#include "tunnel/win/OVPNSystemWin.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <exception>
#include <fstream>
#include <utility>
#include <vector>

#include "core/DebugLog.h"
#include "core/Text.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/ChildProcess.h"
#include "core/win/LinkChecks.h"
#include "core/win/Logs.h"
#include "core/win/System.h"
#include "core/win/WinHandle.h"
#include "netcfg/win/HostNetworkConfigWin.h"
#include "netcfg/win/TapAdapter.h"

namespace {

// PathAppendW in a MAX_PATH buffer; false when the result might not fit.
bool appendPath(const std::wstring& base, const wchar_t* more, std::wstring& joined) {
  if (base.size() + 1 + wcslen(more) + 1 > MAX_PATH) return false;
  wchar_t buffer[MAX_PATH];
  wcscpy(buffer, base.c_str());
  if (!PathAppendW(buffer, more)) return false;
  joined = buffer;
  return true;
}

bool isWindowsProgram(const std::wstring& path) {
  DWORD type = 0;
  return GetBinaryTypeW(path.c_str(), &type) && (type == SCS_32BIT_BINARY || type == SCS_64BIT_BINARY);
}

// The installation folder named by the key's default value and the program
// below it. A value too long to join counts as missing; so does an empty one,
// which would name a program relative to the current folder.
bool findInstallation(const wchar_t* subKey, const wchar_t* program, std::wstring& folder, std::wstring& programPath) {
  std::wstring value;
  if (!readRegistryDefaultString(HKEY_LOCAL_MACHINE, subKey, value) || value.empty()) return false;
  folder = value;
  return appendPath(folder, program, programPath) && isWindowsProgram(programPath);
}

// The installer or the configuration file, alone in its admin-only folder and
// held open for reading only while it is in use: what OpenVPN reads or what
// runs is what was written.
template <class File>
class FileInAdminFolder : public File {
 public:
  FileInAdminFolder(std::unique_ptr<AdminOnlyFolder> folder, std::wstring path, WinFile held)
      : folder_(std::move(folder)), path_(std::move(path)), held_(std::move(held)) {}
  const std::wstring& path() const override { return path_; }

 private:
  std::unique_ptr<AdminOnlyFolder> folder_;  // goes with the file in it
  std::wstring path_;
  WinFile held_;  // closed first, so the folder's removal can take the file
};

// bytes exactly, in a new file in a new admin-only folder under parent;
// null when any step fails.
template <class File>
std::unique_ptr<File> writeIntoAdminFolder(const std::wstring& parent, const wchar_t* name, const std::string& bytes) {
  try {
    std::unique_ptr<AdminOnlyFolder> folder = AdminOnlyFolder::create(parent);
    if (!folder) return nullptr;
    std::wstring path = folder->writeFile(name, bytes);
    if (path.empty()) return nullptr;
    WinFile held = openWithoutLinks(path, GENERIC_READ, FILE_SHARE_READ);
    if (!held) return nullptr;
    return std::make_unique<FileInAdminFolder<File>>(std::move(folder), path, std::move(held));
  } catch (const std::exception&) {
    return nullptr;
  }
}

class ProcessWin : public OVPNProcess {
 public:
  static constexpr uint32_t endWaitMs = 10000;

  ProcessWin(std::unique_ptr<ChildProcess> child, std::unique_ptr<AdminOnlyFolder> folder)
      : child_(std::move(child)), folder_(std::move(folder)) {}
  ~ProcessWin() override {
    if (!child_->endAndWait(endWaitMs)) writeDebugLog("OVPN: an ended program still runs after 10000 ms\n");
    // Its folder goes once nothing of the program is left.
    child_.reset();
    folder_.reset();
  }
  void setExitCallback(std::function<void()> onExit) override { child_->setExitCallback(std::move(onExit)); }
  uint32_t exitCode() const override { return child_->exitCode(); }
  uint32_t processId() const override { return child_->processId(); }

 private:
  std::unique_ptr<ChildProcess> child_;
  std::unique_ptr<AdminOnlyFolder> folder_;  // where it runs
};

// A manual-reset event. Should the system refuse one, the signal is null and
// a tapinstall is waited for to its end, as with no owner's stop at all.
class StopSignalWin : public OVPNStopSignal {
 public:
  StopSignalWin() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr), winhandle::kNoCloseCode) {}
  void set() override {
    if (event_) SetEvent(event_.get());
  }
  void reset() override {
    if (event_) ResetEvent(event_.get());
  }
  void* nativeHandle() const override { return event_.get(); }

 private:
  WinHandle event_;
};

}  // namespace

OVPNSystemWin::OVPNSystemWin(std::wstring folderParent, std::wstring transcriptFolder)
    : folderParent_(std::move(folderParent)), transcriptFolder_(std::move(transcriptFolder)) {}

bool OVPNSystemWin::findOpenVpn(std::wstring& programPath) {
  std::wstring folder;
  return findInstallation(L"SOFTWARE\\OpenVPN", L"bin\\OpenVPN.exe", folder, programPath);
}

bool OVPNSystemWin::findTapWindows(std::wstring& tapFolder) {
  std::wstring program;
  return findInstallation(L"SOFTWARE\\TAP-Windows", L"bin\\tapinstall.exe", tapFolder, program);
}

std::unique_ptr<OVPNInstallerFile> OVPNSystemWin::writeInstaller(const std::string& bytes) {
  return writeIntoAdminFolder<OVPNInstallerFile>(folderParent_, L"installer.tmp", bytes);
}

std::unique_ptr<OVPNConfigFile> OVPNSystemWin::writeConfigFile(const std::string& text) {
  return writeIntoAdminFolder<OVPNConfigFile>(folderParent_, L"config.tmp", text);
}

bool OVPNSystemWin::isConnectionOf(const OVPNProcess& process, uint16_t localPort, uint16_t peerPort) {
  // The table's ports are in network order in the low 16 bits; its
  // addresses in network order.
  const DWORD loopback = htonl(INADDR_LOOPBACK);
  const DWORD processId = process.processId();
  std::vector<unsigned char> buffer;
  // Room for a busy machine's table at the first read (each read builds the
  // whole table); connections come and go between the calls, so the size may
  // still grow meanwhile.
  DWORD size = 60 * 1024;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size + 4096);
    size = static_cast<DWORD>(buffer.size());
    result = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
  }
  if (result != NO_ERROR) {
    writeDebugLog("OVPN: TCP table not read: " + std::to_string(result) + "\n");
    return false;
  }
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    if (row.dwLocalAddr == loopback && row.dwRemoteAddr == loopback &&
        (row.dwLocalPort & 0xFFFF) == htons(peerPort) && (row.dwRemotePort & 0xFFFF) == htons(localPort))
      return processId != 0 && row.dwOwningPid == processId;
  }
  return false;
}

// OpenVPN and the installer run elevated: each in an admin-only folder of its
// own (current folder, TMP and TEMP). Not their file's folder, which may go
// while they run (the configuration file once OpenVPN is connected), and a
// running program's current folder can't be removed.
std::unique_ptr<OVPNProcess> OVPNSystemWin::startProgram(const std::wstring& programPath,
                                                         const std::wstring& commandLine) {
  std::unique_ptr<AdminOnlyFolder> folder;
  try {
    folder = AdminOnlyFolder::create(folderParent_);
  } catch (const std::exception&) {
    return nullptr;
  }
  if (!folder) return nullptr;
  std::unique_ptr<ChildProcess> child =
      ChildProcess::create(programPath, commandLine, ChildFolders::inside(folder->path()));
  if (!child) return nullptr;
  return std::make_unique<ProcessWin>(std::move(child), std::move(folder));
}

std::unique_ptr<OVPNStopSignal> OVPNSystemWin::createStopSignal() { return std::make_unique<StopSignalWin>(); }

int OVPNSystemWin::prepareTapAdapter(const std::wstring& tapFolder, OVPNStopSignal& stopSignal,
                                     AdapterGuid& adapterGuid) {
  TapAdapter tap(tapFolder, static_cast<HANDLE>(stopSignal.nativeHandle()), folderParent_);
  int result = tap.prepareTapAdapter();
  if (result == 0) std::memcpy(adapterGuid.data(), &tap.adapterGuid(), sizeof(GUID));
  return result;
}

std::unique_ptr<NetworkConfig> OVPNSystemWin::createNetworkConfig() { return makeHostNetworkConfig(); }

std::unique_ptr<std::ostream> OVPNSystemWin::openTranscript(const std::string& fileName) {
  try {
    std::wstring folder = transcriptFolder_.empty() ? logsFolder() : transcriptFolder_;
    std::wstring path = joinPath(folder, fromUtf8(fileName));
    return std::make_unique<std::ofstream>(path.c_str(), std::ios::binary | std::ios::trunc);
  } catch (const std::exception&) {
    return nullptr;
  }
}
