#include "update/LocalFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "core/Text.h"

LocalPathKind localPathKind(const std::wstring& path) {
  struct stat info;
  if (stat(toUtf8(path).c_str(), &info) != 0) return LocalPathKind::missing;
  return S_ISDIR(info.st_mode) ? LocalPathKind::folder : LocalPathKind::file;
}

std::FILE* openLocalFile(const std::wstring& path, const char* mode) {
  return std::fopen(toUtf8(path).c_str(), mode);
}

std::wstring joinLocalPath(const std::wstring& folder, const std::wstring& relative) {
  if (folder.empty() || folder.back() == L'/') return folder + relative;
  return folder + L"/" + relative;
}

std::wstring localParentFolder(const std::wstring& path) {
  size_t slash = path.find_last_of(L'/');
  if (slash == std::wstring::npos) return std::wstring();
  return slash == 0 ? std::wstring(L"/") : path.substr(0, slash);
}

std::wstring runningProgramPath() {
  std::string buffer(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", &buffer[0], buffer.size());
  if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) throw std::runtime_error("program path unknown");
  buffer.resize(static_cast<size_t>(length));
  return fromUtf8(buffer);
}
