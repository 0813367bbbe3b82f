#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "core/win/WinHandle.h"

// A started updater and the shared memory holding its block. In the client
// these stay open until the updater ends the client.
struct UpdaterLaunch {
  WinHandle process;
  WinHandle thread;
  WinHandle mapping;
  WinView view;
  uint32_t blockSize = 0;
  std::wstring commandLine;
};

// Starts the updater at updaterPath suspended (outside the client's job where
// that is allowed; in its own folder, with the Windows folder's Temp as TMP
// and TEMP) with the block size as its argument, duplicates
// clientProcess (a handle of this process) into it, places fields and the
// duplicated handle in "Global\KWEL_GUI_GUPD" and lets the updater run.
// NumberError 20 (start), 23 (duplicate), 21 (create the mapping, also when
// it exists already), 22 (map); after a failed later step the suspended
// updater is ended, not left behind.
UpdaterLaunch launchUpdater(const std::wstring& updaterPath, const std::string& fields, HANDLE clientProcess);
