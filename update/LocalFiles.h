#pragma once

#include <cstdio>
#include <string>

// The few file-system calls of the update check, one definition per platform,
// so the manifest logic itself stays portable.
enum class LocalPathKind { missing, file, folder };

LocalPathKind localPathKind(const std::wstring& path);
// C stdio on a UTF-16 path; mode is "rb" or "wb".
std::FILE* openLocalFile(const std::wstring& path, const char* mode);
std::wstring joinLocalPath(const std::wstring& folder, const std::wstring& relative);
std::wstring localParentFolder(const std::wstring& path);
std::wstring runningProgramPath();
