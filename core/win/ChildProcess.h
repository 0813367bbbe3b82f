#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/win/WinHandle.h"

// Where a started program runs: its current folder, and the temporary folder
// that TMP and TEMP name in its environment (the rest of which is the
// client's). The client runs elevated and so do its children: both must be
// folders that only administrators may write, never the user's own temporary
// folder. Empty means the system's: the system folder, and the Windows
// folder's Temp.
struct ChildFolders {
  std::wstring current;
  std::wstring temp;

  static ChildFolders system() { return {}; }
  // One folder as both.
  static ChildFolders inside(const std::wstring& folder) { return {folder, folder}; }
};

// A started program inside a job object that kills it when the job's last
// handle closes: on destruction, and with the client when it exits or crashes.
// A watcher thread waits for its end and reports it once through the exit
// callback, on the watcher thread.
class ChildProcess {
 public:
  // Starts programPath with commandLine (whose first word is, by convention,
  // the quoted program path) suspended, without a window and outside the
  // client's own job where that is allowed, in folders; null when any step
  // fails.
  static std::unique_ptr<ChildProcess> create(const std::wstring& programPath, const std::wstring& commandLine,
                                              const ChildFolders& folders = ChildFolders::system());

  // Not on the watcher thread (it is joined). Ends a child that still runs;
  // the exit callback is then not called.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Set after create; may be replaced, and the callback in place when the end
  // is seen is the one called, once. A child that ended before is reported as
  // soon as a callback is in place, still on the watcher thread.
  void setExitCallback(std::function<void()> onExit);
  // The child's exit code, valid once the exit callback runs; 1 when it
  // could not be read.
  uint32_t exitCode() const;
  // The child's process id (GetProcessId of its handle).
  uint32_t processId() const;
  // Ends the child and everything in its job, and waits up to timeoutMs
  // until it has exited, so its program file is free; true when it has.
  // The exit callback may still run.
  bool endAndWait(uint32_t timeoutMs);

 private:
  ChildProcess() = default;
  void start(const std::wstring& programPath, const std::wstring& commandLine, const ChildFolders& folders);
  void watchExit();

  WinHandle job_;
  WinHandle thread_;
  WinHandle process_;
  bool started_ = false;
  std::thread watcher_;
  WinHandle stopEvent_;

  mutable std::mutex mutex_;
  std::condition_variable callbackSet_;
  std::function<void()> onExit_;
  bool stopping_ = false;
  uint32_t exitCode_ = 1;
};

struct StartedProcess {
  WinHandle process;
  WinHandle thread;
};

// Creates programPath with commandLine suspended, without a window and outside
// the client's own job where that is allowed, in folders. std::runtime_error
// when it can't be started.
StartedProcess createSuspendedProcess(const std::wstring& programPath, const std::wstring& commandLine,
                                      const ChildFolders& folders);

// A runAndWait whose program was started but gave no exit code: the wait for
// its end or the read of its code failed, or the stop event was set. It may
// have done some or all of its work; it is ended through its job.
class RunNoExitCode : public std::runtime_error {
 public:
  explicit RunNoExitCode(const char* what) : std::runtime_error(what) {}
};

// A runAndWait whose program still ran at its time limit; it has been ended.
class RunTimedOut : public RunNoExitCode {
 public:
  RunTimedOut() : RunNoExitCode("run timed out") {}
};

// Runs the program like ChildProcess and blocks until it ends or timeoutMs
// has passed; its exit code. std::runtime_error when it can't be started,
// RunNoExitCode when it was started and its end or exit code can't be read.
// stopEvent (optional, not owned; manual-reset so it stays set) ends the wait
// early: the program is ended through its job and RunNoExitCode is thrown; a
// plain std::runtime_error when the event was set before the call, which
// starts nothing. At the time limit the program is ended the same way and
// RunTimedOut thrown.
// The program runs in folders.
uint32_t runAndWait(const std::wstring& programPath, const std::wstring& commandLine, HANDLE stopEvent = nullptr,
                    uint32_t timeoutMs = INFINITE, const ChildFolders& folders = ChildFolders::system());

// Told once per CommandRunner: false when the command could not be started,
// true when it was started and has ended (whatever its exit code).
class CommandSink {
 public:
  virtual ~CommandSink() = default;
  // done(true) arrives on the child's watcher thread, done(false) on the
  // thread that made the runner.
  virtual void done(bool ok) = 0;
};

// Runs one tool of the Windows system folder ("netsh.exe") with an argument
// text, starting at once, in the system's folders. Dropping the runner ends a
// command that still runs.
class CommandRunner {
 public:
  CommandRunner(std::wstring programFileName, std::wstring arguments, std::shared_ptr<CommandSink> sink);
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

 private:
  void resolveProgramPath();
  void run();

  std::wstring programFileName_;
  std::wstring arguments_;
  std::shared_ptr<CommandSink> sink_;
  std::unique_ptr<ChildProcess> child_;
  std::wstring programPath_;
};
