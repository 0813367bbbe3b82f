#include "core/win/ChildProcess.h"

#include <cwchar>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/EnvironmentBlock.h"
#include "core/FatalError.h"
#include "core/QuoteArgument.h"
#include "core/win/AdminOnlyFolder.h"
#include "core/win/System.h"

namespace {

WinHandle createKillOnCloseJob() {
  WinHandle job(CreateJobObjectW(nullptr, nullptr), winhandle::kNoCloseCode);
  if (!job) throw std::runtime_error("CreateJobObjectW failed");
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  // The record is larger in a 64-bit process: its size is never a constant.
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
    throw std::runtime_error("SetInformationJobObject failed");
  return job;
}

// This process's block up to its final empty entry.
std::wstring clientEnvironment() {
  wchar_t* strings = GetEnvironmentStringsW();
  if (!strings) throw std::runtime_error("GetEnvironmentStringsW failed");
  const wchar_t* end = strings;
  while (*end) end += wcslen(end) + 1;
  std::wstring block(strings, static_cast<size_t>(end - strings));
  FreeEnvironmentStringsW(strings);
  return block;
}

}  // namespace

// A client whose job forbids breakaway gets ERROR_ACCESS_DENIED for every
// child started outside it; the child then starts inside that job (a job of
// our own nests in it).
StartedProcess createSuspendedProcess(const std::wstring& programPath, const std::wstring& commandLine,
                                      const ChildFolders& folders) {
  // The user's environment names the user's TMP and TEMP (HKCU\Environment):
  // an elevated installer that unpacks and loads its helpers there would load
  // what any program of the user put in their place.
  std::wstring environment =
      environmentWithTempFolder(clientEnvironment(), folders.temp.empty() ? systemTempFolder() : folders.temp);
  const std::wstring current = folders.current.empty() ? system32Folder() : folders.current;
  const DWORD flags = CREATE_SUSPENDED | CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
  for (DWORD tryFlags : {flags, flags & ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB)}) {
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(programPath.c_str(), line.data(), nullptr, nullptr, FALSE, tryFlags, &environment[0],
                       current.c_str(), &startup, &info))
      return {WinHandle(info.hProcess, winhandle::kNoCloseCode), WinHandle(info.hThread, winhandle::kNoCloseCode)};
    if (GetLastError() != ERROR_ACCESS_DENIED) break;
  }
  throw std::runtime_error("CreateProcessW failed");
}

std::unique_ptr<ChildProcess> ChildProcess::create(const std::wstring& programPath, const std::wstring& commandLine,
                                                   const ChildFolders& folders) {
  std::unique_ptr<ChildProcess> child(new ChildProcess);
  try {
    child->start(programPath, commandLine, folders);
  } catch (const std::exception&) {
    return nullptr;
  }
  return child;
}

void ChildProcess::start(const std::wstring& programPath, const std::wstring& commandLine,
                         const ChildFolders& folders) {
  job_ = createKillOnCloseJob();
  StartedProcess started = createSuspendedProcess(programPath, commandLine, folders);
  process_ = std::move(started.process);
  thread_ = std::move(started.thread);
  if (!AssignProcessToJobObject(job_.get(), process_.get())) {
    TerminateProcess(process_.get(), 0);
    throw std::runtime_error("AssignProcessToJobObject failed");
  }
  if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) throw std::runtime_error("ResumeThread failed");
  started_ = true;
  stopEvent_ = WinHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr), winhandle::kNoCloseCode);
  if (!stopEvent_) fatalError(148);
  watcher_ = std::thread([this] { watchExit(); });
}

void ChildProcess::watchExit() {
  HANDLE handles[2] = {process_.get(), stopEvent_.get()};
  DWORD woke = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (woke == WAIT_OBJECT_0 + 1) return;  // the owner is stopping
  // A failed wait is reported as a failed child: its owner waits for a report.
  DWORD code = 1;
  if (woke != WAIT_OBJECT_0 || !GetExitCodeProcess(process_.get(), &code)) code = 1;
  std::function<void()> onExit;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    exitCode_ = code;
    // An end seen before the owner installed the callback waits for it here.
    callbackSet_.wait(lock, [this] { return onExit_ || stopping_; });
    if (stopping_) return;
    // A copy: what the callback holds (a sink, a state's loop) is let go with
    // this object on the owner's thread, not here.
    onExit = onExit_;
  }
  onExit();
}

void ChildProcess::setExitCallback(std::function<void()> onExit) {
  if (!onExit) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    onExit_ = std::move(onExit);
  }
  callbackSet_.notify_all();
}

uint32_t ChildProcess::exitCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitCode_;
}

uint32_t ChildProcess::processId() const { return process_ ? GetProcessId(process_.get()) : 0; }

bool ChildProcess::endAndWait(uint32_t timeoutMs) {
  if (!process_) return true;
  if (job_) TerminateJobObject(job_.get(), 1);
  return WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

ChildProcess::~ChildProcess() {
  if (started_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    callbackSet_.notify_all();
    if (stopEvent_) SetEvent(stopEvent_.get());
    // A watcher that could not be started has nothing to join.
    if (watcher_.joinable()) watcher_.join();
    stopEvent_.reset();
  }
  // Closing the job last ends a child that still runs.
  process_.reset();
  thread_.reset();
  job_.reset();
}

uint32_t runAndWait(const std::wstring& programPath, const std::wstring& commandLine, HANDLE stopEvent,
                    uint32_t timeoutMs, const ChildFolders& folders) {
  if (stopEvent && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) throw std::runtime_error("stopped");
  WinHandle job = createKillOnCloseJob();
  StartedProcess started = createSuspendedProcess(programPath, commandLine, folders);
  if (!AssignProcessToJobObject(job.get(), started.process.get())) {
    TerminateProcess(started.process.get(), 0);
    throw std::runtime_error("AssignProcessToJobObject failed");
  }
  if (ResumeThread(started.thread.get()) == static_cast<DWORD>(-1)) throw std::runtime_error("ResumeThread failed");
  HANDLE handles[2] = {started.process.get(), stopEvent};
  DWORD woke = WaitForMultipleObjects(stopEvent ? 2 : 1, handles, FALSE, timeoutMs);
  if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_TIMEOUT) {
    TerminateJobObject(job.get(), 1);
    // Gone before the caller reports, so a retry finds no half-run program.
    WaitForSingleObject(started.process.get(), 10000);
    if (woke == WAIT_TIMEOUT) throw RunTimedOut();
    throw RunNoExitCode("stopped");
  }
  // From here on it ran: closing the job on the way out ends what is left.
  if (woke != WAIT_OBJECT_0) throw RunNoExitCode("wait failed");
  DWORD code = 0;
  if (!GetExitCodeProcess(started.process.get(), &code)) throw RunNoExitCode("GetExitCodeProcess failed");
  return code;
}

CommandRunner::CommandRunner(std::wstring programFileName, std::wstring arguments, std::shared_ptr<CommandSink> sink)
    : programFileName_(std::move(programFileName)), arguments_(std::move(arguments)), sink_(std::move(sink)) {
  try {
    resolveProgramPath();
  } catch (const std::exception&) {
    std::shared_ptr<CommandSink> sink = std::move(sink_);
    sink->done(false);
    return;
  }
  run();
}

void CommandRunner::resolveProgramPath() { programPath_ = joinPath(system32Folder(), programFileName_); }

void CommandRunner::run() {
  child_ = ChildProcess::create(programPath_, quoteArgument(programPath_) + L" " + arguments_, ChildFolders::system());
  std::shared_ptr<CommandSink> sink = std::move(sink_);
  if (!child_) {
    sink->done(false);
    return;
  }
  child_->setExitCallback([sink] { sink->done(true); });
}
