#include "core/ComparablePath.h"

std::wstring comparablePath(const std::wstring& path) {
  std::wstring text = path;
  for (wchar_t& c : text)
    if (c == L'/') c = L'\\';
  const std::wstring uncPrefix = L"\\\\?\\UNC\\";
  const std::wstring longPrefix = L"\\\\?\\";
  bool share = false;
  if (text.compare(0, uncPrefix.size(), uncPrefix) == 0) {
    text = text.substr(uncPrefix.size());
    share = true;
  } else if (text.compare(0, longPrefix.size(), longPrefix) == 0) {
    text = text.substr(longPrefix.size());
  } else if (text.compare(0, 2, L"\\\\") == 0) {
    text = text.substr(2);
    share = true;
  }
  std::wstring result = share ? L"\\\\" : L"";
  for (wchar_t c : text) {
    if (c == L'\\' && !result.empty() && result.back() == L'\\' && !(share && result.size() == 2)) continue;
    result += c;
  }
  bool driveRoot = result.size() == 3 && result[1] == L':';
  while (result.size() > (share ? 2u : 1u) && result.back() == L'\\' && !driveRoot) result.pop_back();
  return result;
}
