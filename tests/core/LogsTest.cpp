#include <gtest/gtest.h>
#include <shlwapi.h>
#include <windows.h>

#include <ctime>
#include <fstream>

#include "core/win/Logs.h"
#include "core/win/System.h"
#include "tests/support/DebugLogReader.h"
#include "tests/support/win/TestFolder.h"

namespace {

std::wstring transcriptName(__time64_t when) {
  std::tm local = *_localtime64(&when);
  wchar_t name[32];
  wcsftime(name, 32, L"%Y%m%d%H%M%S.txt", &local);
  return name;
}

class ClearOldLogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = freshTestFolder(L"zav-logs-");
  }
  void TearDown() override { removeTestFolder(folder_); }
  void make(const std::wstring& name) { std::ofstream(joinPath(folder_, name).c_str()) << "log"; }
  bool exists(const std::wstring& name) { return PathFileExistsW(joinPath(folder_, name).c_str()); }
  std::wstring folder_;
};

TEST_F(ClearOldLogsTest, DeletesTranscriptsOlderThanAWeekOrFromTheFuture) {
  const __time64_t now = _time64(nullptr);
  const __time64_t day = 86400;
  struct Case {
    std::wstring name;
    bool kept;
  } cases[] = {
      {transcriptName(now - 6 * day), true},
      {transcriptName(now - 60), true},
      {transcriptName(now - 8 * day), false},
      {transcriptName(now + day), false},
      {L"debug.dat", true},
      {L"notes.txt", true},
      {L"2026121010000.txt", true},    // 13 digits
      {L"20261210100000.txt.bak", true},
      {L"20261210100000.TXT", true},
  };
  for (const Case& c : cases) make(c.name);
  CapturedDebugLog log;
  clearOldLogsIn(folder_, now);
  for (const Case& c : cases) EXPECT_EQ(exists(c.name), c.kept) << std::string(c.name.begin(), c.name.end());
  std::string text = log.text();
  EXPECT_NE(text.find("log " + std::string(cases[0].name.begin(), cases[0].name.end()) + ", diff=0.857"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("log debug.dat"), std::string::npos);
}

TEST_F(ClearOldLogsTest, AFreshTranscriptSurvivesSummerTime) {
  // In summer the local time of a transcript written half an hour ago is an
  // hour ahead of standard time; read as standard time it would be "future".
  // The test runs with TZ=CET-1CEST.
  std::tm july = {};
  july.tm_year = 2026 - 1900;
  july.tm_mon = 6;
  july.tm_mday = 15;
  july.tm_hour = 12;
  july.tm_isdst = -1;
  const __time64_t now = _mktime64(&july);
  ASSERT_EQ(july.tm_isdst, 1) << "the runtime does not apply summer time for this TZ";
  std::wstring fresh = transcriptName(now - 1800);
  make(fresh);
  clearOldLogsIn(folder_, now);
  EXPECT_TRUE(exists(fresh));
}

TEST_F(ClearOldLogsTest, AMissingFolderIsLoggedNotFatal) {
  CapturedDebugLog log;
  clearOldLogsIn(joinPath(folder_, L"missing"), _time64(nullptr));
  EXPECT_NE(log.text().find("clearOldLogs failed :301\n"), std::string::npos);
}

}  // namespace
