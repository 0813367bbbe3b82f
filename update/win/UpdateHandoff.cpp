#include "update/win/UpdateHandoff.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/NumberError.h"
#include "core/QuoteArgument.h"
#include "update/UpdateBlock.h"
#include "update/UpdateManifest.h"
#include "core/win/ChildProcess.h"
#include "core/win/System.h"

namespace {

// Ends a suspended updater when a later step fails; the launch's holders
// then close its handles.
class LaunchGuard {
 public:
  explicit LaunchGuard(HANDLE process) : process_(process) {}
  ~LaunchGuard() {
    if (process_) TerminateProcess(process_, 1);
  }
  LaunchGuard(const LaunchGuard&) = delete;
  LaunchGuard& operator=(const LaunchGuard&) = delete;
  void done() { process_ = nullptr; }

 private:
  HANDLE process_;
};

}  // namespace

UpdaterLaunch launchUpdater(const std::wstring& updaterPath, const std::string& fields, HANDLE clientProcess) {
  if (fields.size() > std::numeric_limits<uint32_t>::max() - 4) throw std::length_error("update block too large");
  UpdaterLaunch launch;
  launch.blockSize = static_cast<uint32_t>(fields.size() + 4);
  launch.commandLine = quoteArgument(updaterPath) + L" " + std::to_wstring(launch.blockSize);

  try {
    // Its own folder is the client's installation, as trusted as the updater
    // itself. It keeps no temporary files, and the client it starts again
    // inherits what it gets: the system's Temp, never the user's.
    ChildFolders folders = ChildFolders::system();
    folders.current = parentFolder(updaterPath);
    StartedProcess started = createSuspendedProcess(updaterPath, launch.commandLine, folders);
    launch.process = std::move(started.process);
    launch.thread = std::move(started.thread);
  } catch (const std::exception&) {
    throw NumberError(20);
  }
  LaunchGuard guard(launch.process.get());

  HANDLE duplicated = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), clientProcess, launch.process.get(), &duplicated, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    throw NumberError(23);
  uint32_t handleValue = handoff::handleToBlockValue(reinterpret_cast<uintptr_t>(duplicated));

  launch.mapping = WinHandle(
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, launch.blockSize, handoff::kMappingName),
      winhandle::kNoCloseCode);
  // An object left by another run keeps its own size and contents.
  if (launch.mapping && GetLastError() == ERROR_ALREADY_EXISTS) launch.mapping.reset();
  if (!launch.mapping) throw NumberError(21);
  launch.view = WinView(MapViewOfFile(launch.mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, launch.blockSize),
                        winhandle::kNoCloseCode);
  if (!launch.view) throw NumberError(22);

  unsigned char* block = static_cast<unsigned char*>(launch.view.get());
  if (!fields.empty()) std::memcpy(block, fields.data(), fields.size());
  handoff::storeU32(block + fields.size(), handleValue);
  if (ResumeThread(launch.thread.get()) == static_cast<DWORD>(-1)) throw std::runtime_error("ResumeThread failed");
  guard.done();
  return launch;
}

void UpdateManifest::startUpdater() const {
  UpdaterLaunch launch;
  try {
    launch = launchUpdater(joinPath(clientFolder(), updateFileName()), serialiseUpdateBlock(*this), GetCurrentProcess());
  } catch (const std::exception& error) {
    std::wstring text = L"Failed to start updater:\n" + std::wstring(error.what(), error.what() + std::strlen(error.what()));
    MessageBoxW(nullptr, text.c_str(), nullptr, MB_ICONERROR | MB_TOPMOST);
    TerminateProcess(GetCurrentProcess(), 1);
  } catch (...) {
    MessageBoxW(nullptr, L"Failed to start updater", nullptr, MB_ICONERROR | MB_TOPMOST);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  // The updater ends this process. Should it end first instead (a bad block,
  // a failed start of its own), the client must not linger holding the
  // single-instance mutex with no window: it says so and ends.
  if (WaitForSingleObject(launch.process.get(), INFINITE) == WAIT_OBJECT_0) {
    MessageBoxW(nullptr, L"Failed to start updater:\nthe updater ended without applying the update", nullptr,
                MB_ICONERROR | MB_TOPMOST);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  for (;;) Sleep(INFINITE);
}
