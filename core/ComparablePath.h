#pragma once

#include <string>

// The form in which a path the client built and the path the system reports
// for what it opened are compared: the system's "\\?\" prefix dropped
// ("\\?\UNC\server" back to "\\server"), forward slashes as backslashes, runs
// of separators as one (but the two that start a share), and no trailing
// separator except a drive root's ("C:\"). Letter case is left alone: the
// comparison ignores it with the system's own rule.
std::wstring comparablePath(const std::wstring& path);
