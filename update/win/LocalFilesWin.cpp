#include "update/LocalFiles.h"

#include "core/win/System.h"

LocalPathKind localPathKind(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LocalPathKind::missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? LocalPathKind::folder : LocalPathKind::file;
}

std::FILE* openLocalFile(const std::wstring& path, const char* mode) {
  std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(path.c_str(), wideMode.c_str());
}

std::wstring joinLocalPath(const std::wstring& folder, const std::wstring& relative) {
  return joinPath(folder, relative);
}

std::wstring localParentFolder(const std::wstring& path) { return parentFolder(path); }

std::wstring runningProgramPath() { return exePath(); }
