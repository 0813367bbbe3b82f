#include <gtest/gtest.h>

#include <string>

#include "core/QuoteArgument.h"
#include "core/Text.h"
#ifdef _WIN32
#include "core/win/ChildProcess.h"
#include "tests/support/win/ChildHelper.h"
#include "tests/support/win/TestFolder.h"
#endif

namespace {

struct QuoteCase {
  const char* name;
  std::wstring argument;
  std::wstring quoted;
};

const QuoteCase kCases[] = {
    {"plain path", L"C:\\OpenVPN\\bin\\openvpn.exe", L"C:\\OpenVPN\\bin\\openvpn.exe"},
    {"empty stays empty", L"", L""},
    {"space", L"C:\\Program Files\\OpenVPN\\openvpn.exe", L"\"C:\\Program Files\\OpenVPN\\openvpn.exe\""},
    {"tab", L"a\tb", L"\"a\tb\""},
    {"line feed", L"a\nb", L"\"a\nb\""},
    {"vertical tab", L"a\vb", L"\"a\vb\""},
    {"only a blank", L" ", L"\" \""},
    {"embedded quote", L"say \"hi\"", L"\"say \\\"hi\\\"\""},
    {"a quote alone needs quoting", L"a\"b", L"\"a\\\"b\""},
    {"backslashes before a quote", L"a\\\\\"b c", L"\"a\\\\\\\\\\\"b c\""},
    {"trailing backslash", L"C:\\Temp Dir\\", L"\"C:\\Temp Dir\\\\\""},
    {"trailing backslash run", L"x y\\\\\\", L"\"x y\\\\\\\\\\\\\""},
    {"backslashes before ordinary text", L"\\\\server\\share name\\f", L"\"\\\\server\\share name\\f\""},
    {"trailing backslash without blanks", L"C:\\Temp\\", L"C:\\Temp\\"},
    {"non-ASCII", L"Z:\\spiele \u00fcber \u6e38\u620f", L"\"Z:\\spiele \u00fcber \u6e38\u620f\""},
};

TEST(QuoteArgumentTest, QuotesOnlyWhatTheRuntimeWouldSplit) {
  for (const QuoteCase& c : kCases) EXPECT_EQ(quoteArgument(c.argument), c.quoted) << c.name;
}

#ifdef _WIN32
// The child's C runtime splits the command line and must give back every
// argument exactly. An empty argument stays unquoted and so vanishes, which is
// why callers never pass one.
TEST(QuoteArgumentTest, TheChildSeesEachArgumentExactly) {
  std::wstring echo = uniqueTempPath(L"echo");
  std::wstring options = L"--echo " + quoteArgument(echo);
  std::vector<std::string> expected;
  for (const QuoteCase& c : kCases) {
    options += L" " + quoteArgument(c.argument) + L" " + quoteArgument(fromUtf8(c.name));
    if (!c.argument.empty()) expected.push_back(toUtf8(c.argument));
    expected.push_back(c.name);
  }
  ASSERT_EQ(runAndWait(childHelperPath(), childHelperCommand(options)), 0u);
  EXPECT_EQ(echoedArguments(echo), expected);
  DeleteFileW(echo.c_str());
}
#endif

}  // namespace
