#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "netcfg/NetworkConfig.h"

// The installer as written out. Destroying it removes it with its folder;
// failures there are logged, never thrown.
class OVPNInstallerFile {
 public:
  virtual const std::wstring& path() const = 0;
  virtual ~OVPNInstallerFile() = default;
};

// OpenVPN's configuration file as written out, in a new folder only
// administrators and SYSTEM can write (OpenVPN runs elevated and would follow
// any directive added to it). Destroying it removes it with its folder;
// failures there are logged, never thrown.
class OVPNConfigFile {
 public:
  virtual const std::wstring& path() const = 0;
  virtual ~OVPNConfigFile() = default;
};

// A started program in a job that ends it when this object goes. Destroying it
// ends a program that still runs and waits until it has exited, so that its
// file can be deleted next.
class OVPNProcess {
 public:
  // Set on the worker thread; a later state may replace it. The callback in
  // place when the program ends is called once, on another thread (also when
  // the program ended before any was set); it must only post. Not called when
  // the object is destroyed first.
  virtual void setExitCallback(std::function<void()> onExit) = 0;
  // Valid once the exit callback has run; 1 when it could not be read.
  virtual uint32_t exitCode() const = 0;
  // The program's process id, as the system's connection tables name owners.
  virtual uint32_t processId() const = 0;
  virtual ~OVPNProcess() = default;
};

// A manual-reset signal: set from any thread when the machine's owner stops
// or destroys the machine, it ends a blocking system call that waits on it.
class OVPNStopSignal {
 public:
  virtual void set() = 0;
  virtual void reset() = 0;
  // What the Windows calls wait on (an event handle); null in a fake.
  virtual void* nativeHandle() const = 0;
  virtual ~OVPNStopSignal() = default;
};

// What the tunnel states ask of the operating system: the Windows calls in
// tunnel/win, a fake in the tests. Called on the worker thread only.
class OVPNSystem {
 public:
  // OpenVPN's "bin\OpenVPN.exe" when its installation names a 32- or 64-bit
  // program; programPath may be set also when it does not.
  virtual bool findOpenVpn(std::wstring& programPath) = 0;
  // TAP-Windows' installation folder when its "bin\tapinstall.exe" is a 32- or
  // 64-bit program; tapFolder may be set also when it is not.
  virtual bool findTapWindows(std::wstring& tapFolder) = 0;
  // The installer's bytes in a new file of their own; null when not written.
  virtual std::unique_ptr<OVPNInstallerFile> writeInstaller(const std::string& bytes) = 0;
  // Starts programPath with commandLine, without a window, in a new folder of
  // its own that only administrators may write (its current folder, TMP and
  // TEMP), gone with the process; null when it could not be started.
  virtual std::unique_ptr<OVPNProcess> startProgram(const std::wstring& programPath,
                                                    const std::wstring& commandLine) = 0;
  // Unset; the OVPNThread owns it for its life.
  virtual std::unique_ptr<OVPNStopSignal> createStopSignal() = 0;
  // Finds the client's own TAP adapter, or installs one with tapFolder's
  // tapinstall and marks it; then hides it and puts it first in the binding
  // order. 0 with adapterGuid set, or the status that says why not (20017 to
  // 20020); a tapinstall still running when stopSignal is set is ended: 20017.
  virtual int prepareTapAdapter(const std::wstring& tapFolder, OVPNStopSignal& stopSignal,
                                AdapterGuid& adapterGuid) = 0;
  // The configuration text's bytes exactly, in a new file of their own; null
  // when not written.
  virtual std::unique_ptr<OVPNConfigFile> writeConfigFile(const std::string& text) = 0;
  // True when the loopback TCP connection 127.0.0.1:peerPort ->
  // 127.0.0.1:localPort is one that process opened (ports in host order).
  virtual bool isConnectionOf(const OVPNProcess& process, uint16_t localPort, uint16_t peerPort) = 0;

  // One per attempt: made when the tunnel is up, destroyed (DNS set back) when
  // the attempt ends. Never null.
  virtual std::unique_ptr<NetworkConfig> createNetworkConfig() = 0;
  // A new transcript file named fileName in the client's logs folder, opened
  // for bytes, truncating; null or a failed stream when it can't be opened
  // (the lines are then dropped).
  virtual std::unique_ptr<std::ostream> openTranscript(const std::string& fileName) {
    (void)fileName;
    return nullptr;
  }
  virtual ~OVPNSystem() = default;
};
