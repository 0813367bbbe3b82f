#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The helper programs beside the test executables (tests/support/programs);
// a test that starts one lists it in PEERS.
std::wstring childHelperPath();
std::wstring protectToolPath();
std::wstring netshStandInPath();
std::wstring ipconfigStandInPath();
std::wstring ovpnStandInInstallerPath();

// Copies a program into the prefix's system32 and syswow64 (a 32-bit start of
// a system32 tool is redirected to syswow64) under the given file name, and
// tells the prefix to load that file rather than Wine's built-in tool; false
// when any step fails.
bool installSystemTool(const std::wstring& program, const std::wstring& fileName);
// Deletes that file from both folders, so the tool is missing; false when
// either is still there.
bool removeSystemTool(const std::wstring& fileName);

// The helper's command line: its quoted path, then the options as given.
std::wstring childHelperCommand(const std::wstring& options);

// Waits until the file exists (the helper's --record and --echo write it
// whole); false after timeoutMs.
bool waitForFile(const std::wstring& path, DWORD timeoutMs);
// The process id that "--record" wrote.
DWORD recordedProcessId(const std::wstring& path);
// The arguments that "--echo" wrote.
std::vector<std::string> echoedArguments(const std::wstring& path);

// Waits up to timeoutMs for a process known by id to end; true when it has
// ended (also when it is already gone).
bool processEnds(DWORD processId, DWORD timeoutMs);
