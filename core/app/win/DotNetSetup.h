#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "core/win/WinHandle.h"

class AdminOnlyFolder;
class ChildProcess;
class HttpThread;
class RandomGenerator;
class UiTaskQueue;

// True when .NET Framework 4.5 or later is installed: the v4 "Full" setup key
// holds a 4-byte REG_DWORD "Release" of at least 378389.
bool isDotNet45Installed();

// Where the framework's offline installer is downloaded from, and the SHA-512
// of the file it must be (128 lowercase hexadecimal digits).
struct RuntimeInstallerSource {
  std::string url;
  std::string sha512Hex;
};
// The client's built-in installer URL and digest.
RuntimeInstallerSource builtInRuntimeInstaller();

// Asks whether to download and install the framework; on yes runs the
// installer window on this thread until it has finished. Returns at once on
// any other answer. Needs neither COM nor the process-wide RandomGenerator.
void installDotNetFramework(const RuntimeInstallerSource& source = builtInRuntimeInstaller());

// The download-and-install window with its label, progress bar and Cancel
// button. Lives on the thread that runs its UiTaskQueue and holds that queue
// from construction until it finishes.
class DotNetSetupWindow {
 public:
  DotNetSetupWindow(UiTaskQueue* queue, std::shared_ptr<RandomGenerator> rng, RuntimeInstallerSource source);
  ~DotNetSetupWindow();
  DotNetSetupWindow(const DotNetSetupWindow&) = delete;
  DotNetSetupWindow& operator=(const DotNetSetupWindow&) = delete;

  // Loop thread only. Results carry the id of the request they belong to;
  // those of an older request, or of one already released, are dropped.
  void startDownload();
  void askRetry();
  void onDownloadError(uint32_t id);
  void onDownloaded(uint32_t id, const std::string& body);
  void onProgress(uint32_t id, uint32_t done, uint32_t total);
  void onInstallerExit();
  // Lets go of the queue, once; does nothing while the installer runs.
  void finish();

  HWND handle() const { return window_; }
  uint32_t requestId() const { return requestId_; }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT processMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // Read through the file handle from its start.
  bool digestMatches(HANDLE file) const;

  HWND window_ = nullptr;
  UiTaskQueue* queue_;
  std::shared_ptr<RandomGenerator> rng_;
  HWND progressBar_ = nullptr;
  HWND label_ = nullptr;
  HWND cancelButton_ = nullptr;
  std::shared_ptr<HttpThread> download_;
  uint32_t requestId_ = 0;
  std::unique_ptr<ChildProcess> installer_;
  // The installer's file, held for reading only while it runs, and its
  // admin-only folder; both go once it has ended.
  WinFile installerFile_;
  std::unique_ptr<AdminOnlyFolder> installerFolder_;
  std::string url_;
  // Empty when the configured digest is not 128 lowercase hexadecimal digits:
  // then no download passes the check.
  std::string digest_;
  bool finished_ = false;
};
