#include <gtest/gtest.h>

#include <stdexcept>

#include "core/NumberError.h"
#include "core/Text.h"

namespace {

int numberErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const NumberError& e) {
    return e.code();
  }
  return -1;
}

TEST(NumberErrorTest, MessageCarriesTheCode) {
  NumberError e(24);
  EXPECT_EQ(e.code(), 24);
  EXPECT_STREQ(e.what(), "Error Code: 24");
  NumberError copy = e;
  EXPECT_STREQ(copy.what(), "Error Code: 24");
}

TEST(ParseIPv4Test, AcceptsDottedQuads) {
  struct Case {
    const char* text;
    uint32_t address;
  } cases[] = {
      {"10.0.0.1", 0x0A000001u},
      {"0.0.0.0", 0u},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"192.168.100.7", 0xC0A86407u},
      {"1.22.133.4", 0x01168504u},
  };
  for (const Case& c : cases) EXPECT_EQ(parseIPv4(c.text), c.address) << c.text;
}

TEST(ParseIPv4Test, RefusesEverythingElse) {
  const char* bad[] = {"",        "010.0.0.1", "1.2.3",    "1.2.3.4.",  "1.2.3.256", " 1.2.3.4", "1.2.3.4 ",
                       "1..2.3",  "1.2.3.4.5", "a.b.c.d",  "1.2.3.-4",  "1000.2.3.4", "1.2.3.0004", "1,2,3,4",
                       "00.1.2.3"};
  for (const char* text : bad) EXPECT_THROW(parseIPv4(text), std::invalid_argument) << '"' << text << '"';
}

TEST(HexDigitTest, LowercaseOnly) {
  EXPECT_EQ(hexDigitValue('0'), 0);
  EXPECT_EQ(hexDigitValue('9'), 9);
  EXPECT_EQ(hexDigitValue('a'), 10);
  EXPECT_EQ(hexDigitValue('f'), 15);
  for (char c : std::string("AFgG/:` \0", 9)) EXPECT_EQ(numberErrorOf([&] { hexDigitValue(c); }), 8) << int(c);
}

TEST(Base64Test, DecodesAndRefuses) {
  EXPECT_EQ(base64Decode("aGVsbG8="), "hello");
  EXPECT_EQ(base64Decode("AAEC/w=="), std::string("\x00\x01\x02\xff", 4));
  EXPECT_EQ(base64Decode("YWJj"), "abc");
  struct Case {
    const char* text;
    int code;
  } cases[] = {
      {"", 9},          // nothing to measure
      {"a$==", 9},      // invalid character
      {"aGVsbG8=x", 9}, // data after padding
      {"QQ", 10},       // unpadded: measured, then decoded to nothing
      {"YWJjZA", 10},
  };
  for (const Case& c : cases) EXPECT_EQ(numberErrorOf([&] { base64Decode(c.text); }), c.code) << c.text;
}

TEST(StartsWithTest, Cases) {
  EXPECT_TRUE(startsWith("https://x", "https://"));
  EXPECT_TRUE(startsWith("abc", ""));
  EXPECT_TRUE(startsWith("", ""));
  EXPECT_FALSE(startsWith("ab", "abc"));
  EXPECT_FALSE(startsWith("http://", "https://"));
}

std::wstring units(std::initializer_list<uint32_t> list) {
  std::wstring out;
  for (uint32_t u : list) out.push_back(static_cast<wchar_t>(u));
  return out;
}

TEST(Utf8Test, RoundTripsGoodText) {
  struct Case {
    std::string utf8;
    std::wstring utf16;
  } cases[] = {
      {"", L""},
      {"plain", L"plain"},
      {"\xC3\xA9t\xC3\xA9", units({0xE9, 't', 0xE9})},
      {"\xE4\xB8\xAD\xE6\x96\x87", units({0x4E2D, 0x6587})},
      {"\xF0\x9F\x98\x80", units({0xD83D, 0xDE00})},  // above U+FFFF: a surrogate pair
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fromUtf8(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(toUtf8(c.utf16), c.utf8) << c.utf8;
  }
}

TEST(Utf8Test, TruncatedInputStaysInBounds) {
  // Under the sanitizers a read past the end of these buffers is a failure.
  const std::string cut[] = {"\xE4\xB8", "a\xF0\x9F\x98", "\xC3", "ok\xF0"};
  for (const std::string& text : cut) {
    std::string copy(text);
    std::wstring out = fromUtf8(copy);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(static_cast<uint32_t>(out.back()), 0xFFFDu);
  }
  EXPECT_EQ(fromUtf8("ab\xE4\xB8"), units({'a', 'b', 0xFFFD}));
  EXPECT_EQ(toUtf8(units({'a', 0xD83D})), "a\xEF\xBF\xBD");
  EXPECT_EQ(toUtf8(units({0xD83D})), "\xEF\xBF\xBD");
}

}  // namespace
