#include <windows.h>
#include <objbase.h>

#include <memory>
#include <utility>

#include "bridge/win/LoginStart.h"
#include "core/DebugLog.h"
#include "core/FatalError.h"
#include "core/RandomGenerator.h"
#include "core/start/win/ClientSeams.h"
#include "core/start/win/ClrHost.h"
#include "core/app/win/DotNetSetup.h"
#include "core/win/Logs.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/WinHandle.h"
#include "netcfg/win/HostNetworkConfigWin.h"

namespace {
// Opens the debug log before WinMain runs.
const bool initDebugLog = (openDebugLog(), true);

using CorExitProcessFn = void(WINAPI*)(int exitCode);

// Owned by this process until it ends; another instance anywhere on the
// machine (any session, any user) ends the start here.
HANDLE takeSingleInstanceMutex() {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\KWEL_GUI_GMTX");
  if (!mutex || GetLastError() != 0) {
    MessageBoxW(nullptr, L"Only one instance allowed.", nullptr, MB_ICONERROR | MB_TOPMOST);
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;) Sleep(INFINITE);
  }
  return mutex;
}

// The main thread stays a single-threaded apartment until the process ends.
void startCom() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) fatalError(112);
  if (FAILED(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr))) {
    fatalError(115);
  }
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  (void)initDebugLog;
  if (!isDotNet45Installed()) {
    installDotNetFramework();
    return 0;
  }
  clearOldLogs();

  HMODULE mscoree = LoadLibraryW(L"MSCorEE.dll");
  if (!mscoree) fatalError(81);
  auto corExitProcess =
      reinterpret_cast<CorExitProcessFn>(reinterpret_cast<void*>(GetProcAddress(mscoree, "CorExitProcess")));
  if (!corExitProcess) fatalError(82);

  WinHandle instanceMutex(takeSingleInstanceMutex(), 83);
  // Only the one instance may touch the settings a running tunnel made.
  restoreDnsLeftBehind();
  startCom();

  ClrHost host(mscoree);
  auto random = std::make_shared<RandomGenerator>();
  IGuiEntry* gui = host.loadGui();
  {
    // The dispatcher takes over the one GUI entry reference and the generator.
    auto dispatcher = std::make_shared<MainDispatcher>(loginStarter(gui, clientSeams()), std::move(random));
    dispatcher->startGui();
    dispatcher->run();
  }

  host.stop();
  instanceMutex.reset();
  corExitProcess(0);
  fatalError(116);
}
