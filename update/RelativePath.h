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

// Windows path buffers hold 260 UTF-16 units with the terminator; both
// programs join a plain relative path to the client folder in one.
constexpr size_t kPathBufferUnits = 260;
// The updater stages and sets aside files under temporary names in the
// target's own folder: "~zav", 8 hex digits, "-", up to 10 digits, ".new" or
// ".old".
constexpr size_t kTemporaryNameUnits = 4 + 8 + 1 + 10 + 4;

// A plain relative path joined to folder fits every buffer that handles it:
// the join itself (the client's and the updater's are the same) and the
// updater's temporary names beside the target.
inline bool fitsPathBuffers(const std::wstring& folder, const std::wstring& relative) {
  if (folder.size() + 1 > kPathBufferUnits) return false;
  bool separated = !folder.empty() && isSeparator(folder.back());
  size_t joined = folder.size() + (separated ? 0 : 1) + relative.size();
  if (joined + 1 > kPathBufferUnits) return false;
  size_t lastSeparator = relative.find_last_of(L"\\/");
  size_t targetFolder = lastSeparator == std::wstring::npos ? folder.size() : joined - relative.size() + lastSeparator;
  return targetFolder + 1 + kTemporaryNameUnits + 1 <= kPathBufferUnits;
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
