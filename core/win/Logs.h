#pragma once

#include <cstdint>
#include <string>

// The folder "logs" beside the program, created when missing.
std::wstring logsFolder();

// Deletes OpenVPN transcripts ("%Y%m%d%H%M%S.txt") older than a week or dated
// in the future; everything else in the folder stays.
void clearOldLogs();
void clearOldLogsIn(const std::wstring& folder, int64_t now);
