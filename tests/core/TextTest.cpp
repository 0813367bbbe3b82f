#include <gtest/gtest.h>

#include <utf8.h>

#include <iterator>
#include <random>
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
      {"=", 10},        // padding alone: measured as nothing, not empty
      {"==", 10},
      {"=\n", 10},
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

std::wstring replaced(size_t n) { return std::wstring(n, static_cast<wchar_t>(0xFFFD)); }

TEST(Utf8Test, EachInvalidSequenceBecomesOneReplacement) {
  // Under the sanitizers a read past the end of these buffers is a failure.
  struct Case {
    const char* name;
    std::string utf8;
    std::wstring utf16;
  } cases[] = {
      {"lead bytes F8 to FF are one byte each", std::string(20, 'x') + "\xF8\x41\x41\xE0",
       std::wstring(20, L'x') + units({0xFFFD, 'A', 'A', 0xFFFD})},
      {"FF", "\xFF", replaced(1)},
      {"FE at the end", "ab\xFE", units({'a', 'b', 0xFFFD})},
      {"F5 above U+10FFFF", "\xF5\x80\x80\x80", replaced(4)},
      {"F4 90 above U+10FFFF", "\xF4\x90\x80\x80", replaced(4)},
      {"encoded high surrogate", "\xED\xA0\x80", replaced(3)},
      {"encoded low surrogate", "\xED\xB0\x80", replaced(3)},
      {"surrogate before a separator", "d\xED\xA0\x80/x", units({'d', 0xFFFD, 0xFFFD, 0xFFFD, '/', 'x'})},
      {"overlong two bytes", "\xC0\xAF", replaced(2)},
      {"overlong three bytes", "\xE0\x80\xAF", replaced(3)},
      {"overlong four bytes", "\xF0\x80\x80\xAF", replaced(4)},
      {"lone continuation", "a\x80" "b", units({'a', 0xFFFD, 'b'})},
      {"sequence cut before an ASCII byte", "\xE4\xB8" "A", units({0xFFFD, 'A'})},
      {"sequence cut before a lead byte", "\xE4\xC3\xA9", units({0xFFFD, 0xE9})},
      {"highest code point", "\xF4\x8F\xBF\xBF", units({0xDBFF, 0xDFFF})},
      {"last before the surrogates", "\xED\x9F\xBF", units({0xD7FF})},
      {"first after the surrogates", "\xEE\x80\x80", units({0xE000})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string copy(c.utf8);
    EXPECT_EQ(fromUtf8(copy), c.utf16);
    bool valid = c.utf16.find(static_cast<wchar_t>(0xFFFD)) == std::wstring::npos;
    EXPECT_EQ(isUtf8(copy.data(), copy.size()), valid);
    if (valid) {
      EXPECT_EQ(fromUtf8Checked(copy), c.utf16);
    } else {
      EXPECT_THROW(fromUtf8Checked(copy), std::invalid_argument);
    }
  }
}

TEST(Utf8Test, LoneSurrogatesBecomeReplacementsAnywhere) {
  struct Case {
    const char* name;
    std::wstring utf16;
    std::string utf8;
  } cases[] = {
      {"two high surrogates", units({0xD800, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"password ending in two high surrogates", units({'p', 0xDBFF, 0xD800}), "p\xEF\xBF\xBD\xEF\xBF\xBD"},
      // Once merged with the "/" into U+242F, which hid the separator.
      {"high surrogate before a separator", units({'d', 0xD800, '/', 'x'}), "d\xEF\xBF\xBD/x"},
      {"lone low surrogate", units({0xDC00, 'a'}), "\xEF\xBF\xBD" "a"},
      {"pair in the wrong order", units({0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"high surrogate before a pair", units({0xD83D, 0xD83D, 0xDE00}), "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
      {"pair after a lone low", units({0xDC00, 0xD83D, 0xDE00}), "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring copy(c.utf16);
    EXPECT_EQ(toUtf8(copy), c.utf8);
  }
}

// utf8cpp's checked conversion is what the updater decodes the hand-off
// block with: the client must accept exactly the texts it accepts, decode
// them the same way, and write every accepted text back byte for byte.
TEST(Utf8Test, AgreesWithTheCheckedDecoderOnRandomBytes) {
  std::mt19937 random(26);
  const unsigned char interesting[] = {0x00, 0x2F, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                       0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xF8, 0xFF};
  size_t valid = 0;
  for (int round = 0; round < 50000; ++round) {
    std::string text(random() % 9, '\0');
    for (char& c : text) c = static_cast<char>(interesting[random() % sizeof(interesting)]);
    std::u16string expected;
    bool accepted = true;
    try {
      utf8::utf8to16(text.begin(), text.end(), std::back_inserter(expected));
    } catch (const utf8::exception&) {
      accepted = false;
    }
    std::wstring decoded;
    bool ours = true;
    try {
      decoded = fromUtf8Checked(text);
    } catch (const std::invalid_argument&) {
      ours = false;
    }
    ASSERT_EQ(ours, accepted) << testing::PrintToString(text);
    if (!accepted) continue;
    ++valid;
    ASSERT_EQ(decoded, std::wstring(expected.begin(), expected.end())) << testing::PrintToString(text);
    ASSERT_EQ(fromUtf8(text), decoded);
    ASSERT_EQ(toUtf8(decoded), text);
  }
  EXPECT_GT(valid, 1000u) << "too few valid samples to compare";
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
