#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The plain text of an encrypted debug log written with the test log key.
std::string decryptDebugLog(const std::string& blob);

// The addresses of the native COM objects whose "New" line in the log text
// has no "Free" line.
std::vector<std::string> unfreedComObjects(const std::string& log);

// Starts the process's debug log on a temporary file with the test log key,
// so a test can read back the lines it made. Not for tests that write the log
// from other threads while text() runs.
class CapturedDebugLog {
 public:
  CapturedDebugLog();
  ~CapturedDebugLog();
  CapturedDebugLog(const CapturedDebugLog&) = delete;
  CapturedDebugLog& operator=(const CapturedDebugLog&) = delete;

  // Everything logged since the start.
  std::string text();

 private:
  FILE* file_;
};
