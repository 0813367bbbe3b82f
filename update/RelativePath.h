#pragma once

// Rules for the relative paths an update deletes and writes under the client
// folder. Header-only: the updater program checks a block with the same rules
// without linking the client's library.
#include <cwchar>
#include <string>

namespace relpath {

inline bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A path that stays under the folder it is joined to: not empty, no root, no
// drive, no stream, no "." or ".." step, no name Windows would silently alter
// (trailing dot or blank) or refuse (control or reserved characters).
inline bool isPlainRelativePath(const std::wstring& path) {
  if (path.empty() || isSeparator(path.front()) || isSeparator(path.back())) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    if (end == start) return false;
    for (size_t i = start; i < end; ++i) {
      wchar_t c = path[i];
      if (c < 0x20 || std::wcschr(L":*?\"<>|", c)) return false;
    }
    wchar_t last = path[end - 1];
    if (last == L'.' || last == L' ') return false;
    start = end + 1;
  }
  return true;
}

// Windows names compare without case; ASCII folding covers what the client
// ships and keeps this free of locale tables.
inline std::wstring comparable(const std::wstring& path) {
  std::wstring out(path);
  for (wchar_t& c : out) {
    if (c == L'/') c = L'\\';
    else if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return out;
}

// True when path names folder itself or something inside it.
inline bool isSameOrInside(const std::wstring& path, const std::wstring& folder) {
  std::wstring p = comparable(path);
  std::wstring f = comparable(folder);
  if (p.size() < f.size() || p.compare(0, f.size(), f) != 0) return false;
  return p.size() == f.size() || p[f.size()] == L'\\' || (!f.empty() && f.back() == L'\\');
}

}  // namespace relpath
