#include "core/win/ChildProcess.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "core/FatalError.h"
#include "core/QuoteArgument.h"
#include "core/win/System.h"

namespace {

class HandleGuard {
 public:
  HandleGuard() = default;
  ~HandleGuard() {
    if (handle) CloseHandle(handle);
  }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  HANDLE handle = nullptr;
};

HANDLE createKillOnCloseJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (!job) throw std::runtime_error("CreateJobObjectW failed");
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  // The record is larger in a 64-bit process: its size is never a constant.
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    throw std::runtime_error("SetInformationJobObject failed");
  }
  return job;
}

// Starts the child suspended and without a window, outside the client's own
// job. A client whose job forbids breakaway gets ERROR_ACCESS_DENIED for every
// such child; it then starts it inside that job, where our own job nests.
PROCESS_INFORMATION createSuspendedProcess(const std::wstring& programPath, const std::wstring& commandLine) {
  const DWORD flags = CREATE_SUSPENDED | CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW;
  for (DWORD tryFlags : {flags, flags & ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB)}) {
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(programPath.c_str(), line.data(), nullptr, nullptr, FALSE, tryFlags, nullptr, nullptr,
                       &startup, &info))
      return info;
    if (GetLastError() != ERROR_ACCESS_DENIED) break;
  }
  throw std::runtime_error("CreateProcessW failed");
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::create(const std::wstring& programPath, const std::wstring& commandLine) {
  std::unique_ptr<ChildProcess> child(new ChildProcess);
  try {
    child->start(programPath, commandLine);
  } catch (const std::exception&) {
    return nullptr;
  }
  return child;
}

void ChildProcess::start(const std::wstring& programPath, const std::wstring& commandLine) {
  job_ = createKillOnCloseJob();
  PROCESS_INFORMATION info = createSuspendedProcess(programPath, commandLine);
  process_ = info.hProcess;
  thread_ = info.hThread;
  if (!AssignProcessToJobObject(job_, process_)) {
    TerminateProcess(process_, 0);
    throw std::runtime_error("AssignProcessToJobObject failed");
  }
  if (ResumeThread(thread_) == static_cast<DWORD>(-1)) throw std::runtime_error("ResumeThread failed");
  started_ = true;
  stopEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!stopEvent_) fatalError(148);
  watcher_ = std::thread([this] { watchExit(); });
}

void ChildProcess::watchExit() {
  HANDLE handles[2] = {process_, stopEvent_};
  DWORD woke = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (woke == WAIT_OBJECT_0 + 1) return;  // the owner is stopping
  // A failed wait is reported as a failed child: its owner waits for a report.
  DWORD code = 1;
  if (woke != WAIT_OBJECT_0 || !GetExitCodeProcess(process_, &code)) code = 1;
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

ChildProcess::~ChildProcess() {
  if (started_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    callbackSet_.notify_all();
    if (stopEvent_) SetEvent(stopEvent_);
    // A watcher that could not be started has nothing to join.
    if (watcher_.joinable()) watcher_.join();
    if (stopEvent_) CloseHandle(stopEvent_);
  }
  if (process_) CloseHandle(process_);
  if (thread_) CloseHandle(thread_);
  if (job_) CloseHandle(job_);
}

uint32_t runAndWait(const std::wstring& programPath, const std::wstring& commandLine) {
  HandleGuard job;
  job.handle = createKillOnCloseJob();
  PROCESS_INFORMATION info = createSuspendedProcess(programPath, commandLine);
  HandleGuard thread;
  thread.handle = info.hThread;
  HandleGuard process;
  process.handle = info.hProcess;
  if (!AssignProcessToJobObject(job.handle, process.handle)) {
    TerminateProcess(process.handle, 0);
    throw std::runtime_error("AssignProcessToJobObject failed");
  }
  if (ResumeThread(thread.handle) == static_cast<DWORD>(-1)) throw std::runtime_error("ResumeThread failed");
  if (WaitForSingleObject(process.handle, INFINITE) != WAIT_OBJECT_0) throw std::runtime_error("wait failed");
  DWORD code = 0;
  if (!GetExitCodeProcess(process.handle, &code)) throw std::runtime_error("GetExitCodeProcess failed");
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
  child_ = ChildProcess::create(programPath_, quoteArgument(programPath_) + L" " + arguments_);
  std::shared_ptr<CommandSink> sink = std::move(sink_);
  if (!child_) {
    sink->done(false);
    return;
  }
  child_->setExitCallback([sink] { sink->done(true); });
}
