#pragma once

// Temporary folders and files of the Windows tests: wide paths throughout,
// since the test folders carry non-ASCII names.
#include <windows.h>

#include <string>

// A file of the build tree (ZAV_BINARY_DIR), e.g. "dist/updater.exe".
std::string builtFile(const std::string& relative);
// False when the file cannot be written whole.
bool writeWideFile(const std::wstring& path, const std::string& bytes);
// std::runtime_error when the file cannot be read.
std::string readWideFile(const std::wstring& path);
// The content, or "<none>".
std::string fileOrNone(const std::wstring& path);

// A path in the temporary folder that no other test or run uses; nothing is
// created.
std::wstring uniqueTempPath(const std::wstring& stem);
// An empty folder named after the running test, below the temporary folder.
std::wstring freshTestFolder(const std::wstring& prefix);
// Removes it, retrying while a just-ended child still holds a file.
void removeTestFolder(const std::wstring& folder);

// program started with its quoted path and arguments; null when it could not be.
HANDLE startProgram(const std::wstring& program, const std::wstring& arguments);
