#pragma once

#include <string>

// A Windows environment block: "NAME=value" entries, each ended by NUL, and
// one more NUL after the last. A name runs to the first '=' after the entry's
// first character, so the per-drive folders ("=C:=C:\dir") have names too.

// parentBlock (as GetEnvironmentStringsW gives it, read up to its first empty
// entry or its end) with TMP and TEMP both naming tempFolder: every spelling
// of those two names is dropped and one "TMP" and one "TEMP" put in, the
// other entries are kept as they are. The block is sorted as the system keeps
// it: the "=" entries first in their order, then the rest by name, letters
// compared as capitals and every other character by its code unit; equal
// names keep their order. Complete with its final NUL.
std::wstring environmentWithTempFolder(const std::wstring& parentBlock, const std::wstring& tempFolder);
