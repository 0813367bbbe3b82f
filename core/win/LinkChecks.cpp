#include "core/win/LinkChecks.h"

#include <winternl.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "core/ComparablePath.h"

namespace {

bool informationOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) {
  return GetFileInformationByHandle(handle, &information) != 0;
}

// name opened relative to the folder open as root.
WinFile openRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                     ULONG options) {
  if (name.empty() || name.size() > 32767) return WinFile();
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  NTSTATUS status =
      NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                   options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  return WinFile(status == 0 ? handle : INVALID_HANDLE_VALUE, winhandle::kNoCloseCode);
}

bool markForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

struct Entry {
  std::wstring name;
  DWORD attributes;
};

// The folder's entries, read through its handle.
bool listThrough(HANDLE folder, std::vector<Entry>& entries) {
  std::vector<unsigned char> buffer(64 * 1024);
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!GetFileInformationByHandleEx(folder, kind, buffer.data(), static_cast<DWORD>(buffer.size())))
      return GetLastError() == ERROR_NO_MORE_FILES;
    kind = FileIdBothDirectoryInfo;
    size_t offset = 0;
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
      std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") entries.push_back(Entry{name, info->FileAttributes});
      if (info->NextEntryOffset == 0) break;
      offset += info->NextEntryOffset;
      if (offset >= buffer.size()) return false;
    }
  }
}

}  // namespace

std::wstring finalPathOf(HANDLE handle) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return comparablePath(std::wstring(buffer.data(), length));
    buffer.resize(length + 1);
  }
  return std::wstring();
}

std::wstring longPathOf(const std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  std::wstring full = path;
  DWORD fullLength = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (fullLength != 0 && fullLength < buffer.size()) full.assign(buffer.data(), fullLength);
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD length = GetLongPathNameW(full.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) break;
    if (length < buffer.size()) return comparablePath(std::wstring(buffer.data(), length));
    buffer.resize(length + 1);
  }
  return comparablePath(full);
}

bool samePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

bool isOpenedAt(HANDLE handle, const std::wstring& path) {
  std::wstring opened = finalPathOf(handle);
  return !opened.empty() && samePath(opened, longPathOf(path));
}

WinFile openWithoutLinks(const std::wstring& path, DWORD access, DWORD share) {
  // Under Wine a linked folder shows as a reparse point by its path only.
  DWORD byPath = GetFileAttributesW(path.c_str());
  if (byPath == INVALID_FILE_ATTRIBUTES || (byPath & FILE_ATTRIBUTE_REPARSE_POINT)) return WinFile();
  WinFile file(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr),
               winhandle::kNoCloseCode);
  if (!file) return file;
  BY_HANDLE_FILE_INFORMATION information;
  if (!informationOf(file.get(), information) || (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return WinFile();
  // A second name of a file is a hard link: it may be anyone's file.
  if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && information.nNumberOfLinks != 1) return WinFile();
  if (!isOpenedAt(file.get(), path)) return WinFile();
  return file;
}

bool isFolder(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  return informationOf(handle, information) && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

WinFile createInFolder(HANDLE folder, const std::wstring& name) {
  return openRelative(folder, name, FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE, FILE_SHARE_READ, FILE_CREATE,
                      FILE_NON_DIRECTORY_FILE);
}

bool writeAllTo(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

bool readAllFrom(HANDLE file, uint64_t limit, std::string& bytes) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > limit) return false;
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  std::string content(static_cast<size_t>(size.QuadPart), '\0');
  size_t done = 0;
  while (done < content.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 20));
    DWORD got = 0;
    if (!ReadFile(file, &content[done], chunk, &got, nullptr)) return false;
    if (got == 0) break;  // shorter now than when measured
    done += got;
  }
  content.resize(done);
  bytes.swap(content);
  return true;
}

void removeContents(HANDLE folder, const std::wstring& path) {
  std::vector<Entry> entries;
  if (!listThrough(folder, entries)) throw std::runtime_error("removal: listing failed");
  bool complete = true;
  for (const Entry& entry : entries) {
    std::wstring childPath = path + L"\\" + entry.name;
    WinFile child = openRelative(folder, entry.name, DELETE | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
    BY_HANDLE_FILE_INFORMATION information;
    if (!child || !informationOf(child.get(), information)) {
      complete = false;
      continue;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // The link itself was opened: removing it leaves its target alone.
      complete = markForDeletion(child.get()) && complete;
      continue;
    }
    if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !isOpenedAt(child.get(), childPath)) {
      // A link the open followed all the same (Wine does): no removal may
      // be tried, since there every removal by name follows it too and
      // takes its target.
      complete = false;
      continue;
    }
    try {
      removeOpenedTree(std::move(child), childPath);
    } catch (const std::runtime_error&) {
      complete = false;
    }
  }
  if (!complete) throw std::runtime_error("removal: an entry could not be removed");
}

void removeOpenedTree(WinFile handle, const std::wstring& path) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!informationOf(handle.get(), information)) throw std::runtime_error("removal: attributes not read");
  const DWORD attributes = information.dwFileAttributes;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    removeContents(handle.get(), path);
  bool removed = markForDeletion(handle.get());
  handle.reset();
  // Some systems take a folder's deletion and keep it when it is not empty.
  if (removed && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    removed = GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  if (!removed)
    throw std::runtime_error("removal: " + std::string((attributes & FILE_ATTRIBUTE_DIRECTORY) ? "folder" : "file") +
                             " not removed");
}

bool identityOf(HANDLE handle, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!informationOf(handle, information)) return false;
  identity = FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
  return true;
}

bool replaceInOneStep(const std::wstring& source, const std::wstring& target) {
  return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
