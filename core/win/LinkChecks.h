#pragma once

// Files reached without following links. The client runs elevated, while a
// folder the user owns may hold a junction, a symbolic link or a hard link
// that a program of the user placed there to aim an elevated write, read or
// removal somewhere else. These open what a path names itself, check that the
// object opened is the one at the path built, and act on it through the
// handle from then on.
#include <windows.h>

#include <cstdint>
#include <string>

#include "core/win/WinHandle.h"

// The path the system gives the opened object now (GetFinalPathNameByHandleW),
// in comparable form; empty when it can't say.
std::wstring finalPathOf(HANDLE handle);
// path with its existing components in their long form (GetLongPathNameW),
// in comparable form.
std::wstring longPathOf(const std::wstring& path);
// Ordinal comparison with case ignored, as the file system compares names.
bool samePath(const std::wstring& a, const std::wstring& b);
// Whether the object open as handle is the one at path, not one a link at
// path or above it led to.
bool isOpenedAt(HANDLE handle, const std::wstring& path);

// The file or folder at path itself (FILE_FLAG_OPEN_REPARSE_POINT), or an
// invalid handle when it can't be opened, is a reparse point, or what was
// opened is not at path (a link followed all the same, as under Wine).
// access and share as for CreateFileW; OPEN_EXISTING.
WinFile openWithoutLinks(const std::wstring& path, DWORD access, DWORD share);
// Whether the opened object is a folder; false when it can't be read.
bool isFolder(HANDLE handle);

// A new file name inside the folder open as folder, made relative to that
// handle, so the folder it lands in is the one opened; invalid when the name
// is taken (by anything, a link too) or the file can't be made. Write and read
// access, sharing read only.
WinFile createInFolder(HANDLE folder, const std::wstring& name);
// All of bytes written through file (not flushed to the disk).
bool writeAllTo(HANDLE file, const std::string& bytes);
// The whole file from its start; false when it can't be read or is larger
// than limit.
bool readAllFrom(HANDLE file, uint64_t limit, std::string& bytes);

// Removes everything in the folder open as folder at path. Each entry is
// opened relative to what holds it and checked before anything else is done
// with it: a link opened itself (FILE_FLAG_OPEN_REPARSE_POINT) is removed
// itself; one that the system followed all the same (Wine) is left in place,
// since there a removal by name would take its target; a folder is listed
// through the handle that was checked, so one swapped for a link meanwhile is
// never entered. std::runtime_error when something can't be listed or
// removed (the rest is removed all the same).
void removeContents(HANDLE folder, const std::wstring& path);
// The folder (with its contents, as above) or file open as handle at path,
// removed through that handle, which needs DELETE access.
void removeOpenedTree(WinFile handle, const std::wstring& path);
// What tells one file or folder from every other: its volume and file index.
struct FileIdentity {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow;
  }
};
bool identityOf(HANDLE handle, FileIdentity& identity);

// target replaced by source in one step (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH): at any moment target is
// the old file or the new one, never a mix; a link at target is replaced
// itself, never written through.
bool replaceInOneStep(const std::wstring& source, const std::wstring& target);
