#include "core/EnvironmentBlock.h"

#include <algorithm>
#include <vector>

namespace {

struct Entry {
  std::wstring text;
  size_t nameLength;
};

Entry entryOf(std::wstring text) {
  size_t equals = text.find(L'=', 1);
  size_t nameLength = equals == std::wstring::npos ? text.size() : equals;
  return {std::move(text), nameLength};
}

// Windows compares names in capitals: '_' sorts after the letters.
wchar_t capital(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool nameBefore(const Entry& a, const Entry& b) {
  return std::lexicographical_compare(a.text.begin(), a.text.begin() + a.nameLength, b.text.begin(),
                                      b.text.begin() + b.nameLength,
                                      [](wchar_t x, wchar_t y) { return capital(x) < capital(y); });
}

bool isNamed(const Entry& entry, const std::wstring& name) {
  return entry.nameLength == name.size() &&
         std::equal(name.begin(), name.end(), entry.text.begin(),
                    [](wchar_t x, wchar_t y) { return capital(x) == capital(y); });
}

}  // namespace

std::wstring environmentWithTempFolder(const std::wstring& parentBlock, const std::wstring& tempFolder) {
  const std::wstring tmp = L"TMP", temp = L"TEMP";
  std::vector<Entry> drives, named;
  for (size_t start = 0; start < parentBlock.size();) {
    size_t end = parentBlock.find(L'\0', start);
    if (end == std::wstring::npos) end = parentBlock.size();
    if (end == start) break;
    Entry entry = entryOf(parentBlock.substr(start, end - start));
    if (entry.text[0] == L'=') {
      drives.push_back(std::move(entry));
    } else if (!isNamed(entry, tmp) && !isNamed(entry, temp)) {
      named.push_back(std::move(entry));
    }
    start = end + 1;
  }
  named.push_back(entryOf(tmp + L"=" + tempFolder));
  named.push_back(entryOf(temp + L"=" + tempFolder));
  std::stable_sort(named.begin(), named.end(), nameBefore);

  std::wstring block;
  for (const std::vector<Entry>* part : {&drives, &named}) {
    for (const Entry& entry : *part) {
      block += entry.text;
      block.push_back(L'\0');
    }
  }
  block.push_back(L'\0');
  return block;
}
