#include "core/QuoteArgument.h"

std::wstring quoteArgument(const std::wstring& argument) {
  if (argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count only in front of a double quote: there each one is
    // doubled and one more escapes the quote itself.
    if (c == L'"') quoted.append(2 * backslashes + 1, L'\\');
    else quoted.append(backslashes, L'\\');
    quoted.push_back(c);
    backslashes = 0;
  }
  // The closing quote follows, so a trailing run is doubled too.
  quoted.append(2 * backslashes, L'\\');
  quoted.push_back(L'"');
  return quoted;
}
