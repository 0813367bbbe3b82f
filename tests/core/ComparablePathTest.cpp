#include <gtest/gtest.h>

#include <string>

#include "core/ComparablePath.h"

namespace {

TEST(ComparablePathTest, ReportedAndBuiltFormsOfOnePathMeet) {
  struct Case {
    const wchar_t* given;
    const wchar_t* comparable;
  } cases[] = {
      {L"C:\\Windows\\Temp\\zav-{1}", L"C:\\Windows\\Temp\\zav-{1}"},
      {L"\\\\?\\C:\\Windows\\Temp\\zav-{1}", L"C:\\Windows\\Temp\\zav-{1}"},  // as the system reports it
      {L"C:\\Windows\\Temp\\", L"C:\\Windows\\Temp"},
      {L"C:\\Windows\\\\Temp\\\\", L"C:\\Windows\\Temp"},
      {L"C:/Windows/Temp", L"C:\\Windows\\Temp"},
      {L"C:\\", L"C:\\"},  // a drive root keeps its separator
      {L"\\\\?\\C:\\", L"C:\\"},
      {L"\\\\?\\UNC\\server\\share\\dir", L"\\\\server\\share\\dir"},
      {L"\\\\server\\share\\dir\\", L"\\\\server\\share\\dir"},
      {L"\\\\?\\C:\\Users\\J\x00FCrgen\\\x674E", L"C:\\Users\\J\x00FCrgen\\\x674E"},
      {L"c:\\windows\\TEMP", L"c:\\windows\\TEMP"},  // case is for the comparison to ignore
      {L"", L""},
  };
  for (const Case& c : cases) {
    std::wstring given = c.given;
    EXPECT_EQ(comparablePath(given), std::wstring(c.comparable)) << std::string(given.begin(), given.end());
  }
}

// A different object never becomes the same path by the normalisation.
TEST(ComparablePathTest, DifferentPathsStayDifferent) {
  EXPECT_NE(comparablePath(L"C:\\Windows\\Temp\\zav"), comparablePath(L"C:\\Windows\\Temp\\zav2"));
  EXPECT_NE(comparablePath(L"\\\\?\\C:\\a\\b"), comparablePath(L"C:\\a"));
  EXPECT_NE(comparablePath(L"\\\\?\\UNC\\server\\share"), comparablePath(L"C:\\server\\share"));
  EXPECT_NE(comparablePath(L"\\\\?\\D:\\x"), comparablePath(L"C:\\x"));
}

}  // namespace
