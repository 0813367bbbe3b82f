#include <gtest/gtest.h>

#include "core/NumberError.h"
#include "service/Url.h"

namespace {

struct UrlCase {
  const char* name;
  std::string url;
  int error;  // 0: parses
  std::string host;
  uint16_t port;
  std::string path;
  bool https;
};

const UrlCase urlCases[] = {
    {"PlainDefaultPort", "http://h/x", 0, "h", 80, "/x", false},
    {"HttpsDefaultPort", "https://h/file", 0, "h", 443, "/file", true},
    {"ExplicitPort", "http://h:8443/x", 0, "h", 8443, "/x", false},
    {"PortWrapsModulo65536", "http://h:65616/x", 0, "h", 80, "/x", false},
    {"PortZeroAccepted", "http://h:0/x", 0, "h", 0, "/x", false},
    {"QueryAndFragmentKept", "http://h/a/b?c=1&d=%20#f", 0, "h", 80, "/a/b?c=1&d=%20#f", false},
    {"EmptyHostPasses", "http:///x", 0, "", 80, "/x", false},
    {"UserNameIsPartOfHost", "http://u@h/x", 0, "u@h", 80, "/x", false},
    {"DigitsStopAtNonDigit", "http://h:81x/y", 33, "", 0, "", false},
    {"SchemeIsCaseSensitive", "HTTP://h/x", 30, "", 0, "", false},
    {"OtherScheme", "ftp://h/x", 30, "", 0, "", false},
    {"EmptyUrl", "", 30, "", 0, "", false},
    {"EndsAfterHost", "http://h", 31, "", 0, "", false},
    {"ColonWithoutDigits", "http://h:/x", 32, "", 0, "", false},
    {"EndsAfterPort", "http://h:80", 33, "", 0, "", false},
    // Host and path go into the request text: no header can be smuggled in.
    {"LineBreakInHost", "http://h\r\nX-Evil: 1\r\n:80/x", 31, "", 0, "", false},
    {"SpaceInHost", "http://h x/y", 31, "", 0, "", false},
    {"LineBreakInPath", "http://h/x\r\nX-Evil: 1", 33, "", 0, "", false},
    {"SpaceInPath", "http://h/x HTTP/1.0", 33, "", 0, "", false},
    {"DeleteInPath", "http://h/x\x7f", 33, "", 0, "", false},
};

class ParseUrlTable : public testing::TestWithParam<UrlCase> {};

TEST_P(ParseUrlTable, GivesPartsOrCode) {
  const UrlCase& c = GetParam();
  if (c.error != 0) {
    try {
      parseUrl(c.url);
      FAIL() << "parsed";
    } catch (const NumberError& e) {
      EXPECT_EQ(e.code(), c.error);
    }
    return;
  }
  UrlParts parts = parseUrl(c.url);
  EXPECT_EQ(parts.host, c.host);
  EXPECT_EQ(parts.port, c.port);
  EXPECT_EQ(parts.path, c.path);
  EXPECT_EQ(parts.https, c.https);
}

INSTANTIATE_TEST_SUITE_P(Urls, ParseUrlTable, testing::ValuesIn(urlCases),
                         [](const testing::TestParamInfo<UrlCase>& info) { return info.param.name; });

TEST(BuildGetRequest, IsExactlyTheFourLinesWithoutPort) {
  UrlParts parts = parseUrl("https://example.test:8443/dir/file?x=1");
  EXPECT_EQ(buildGetRequest(parts),
            "GET /dir/file?x=1 HTTP/1.1\r\n"
            "Connection: close\r\n"
            "Host: example.test\r\n"
            "Accept-encoding: gzip, deflate\r\n\r\n");
}

}  // namespace
