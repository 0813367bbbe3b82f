#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netcfg/TapBindOrder.h"

namespace {

const char16_t ownText[] = u"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}";
const char16_t otherText[] = u"{00112233-4455-6677-8899-AABBCCDDEEFF}";
const char16_t thirdText[] = u"{DEADBEEF-0000-4000-8000-000000000001}";

BindGuid guidOf(const std::u16string& text) {
  BindGuid guid;
  EXPECT_TRUE(parseBracedGuid(text.c_str(), guid)) << "bad fixture GUID";
  return guid;
}

std::string bytesOf(const std::u16string& text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

std::u16string entry(const char16_t* guid, const std::u16string& prefix = u"\\Device\\") {
  return prefix + guid + std::u16string(1, u'\0');
}

const std::u16string own = entry(ownText);
const std::u16string other = entry(otherText);
const std::u16string third = entry(thirdText);
const std::u16string end(1, u'\0');

struct BindCase {
  const char* name;
  std::string value;
  int result;
  std::vector<std::u16string> order;  // when rewritten
};

const BindCase bindCases[] = {
    {"OwnAlreadyFirst", bytesOf(own + other + end), bindOrder::rewritten, {ownText, otherText}},
    {"OwnInTheMiddle", bytesOf(other + own + third + end), bindOrder::rewritten, {ownText, otherText, thirdText}},
    {"OwnLast", bytesOf(other + third + own + end), bindOrder::rewritten, {ownText, otherText, thirdText}},
    {"OnlyOwn", bytesOf(own + end), bindOrder::rewritten, {ownText}},
    // Only the first copy moves; later duplicates stay where they are.
    {"DuplicatesKeepTheirPlaces",
     bytesOf(other + own + other + own + end),
     bindOrder::rewritten,
     {ownText, otherText, otherText, ownText}},
    {"PrefixAndDigitsInAnyCase",
     bytesOf(u"\\DEVICE\\{00112233-4455-6677-8899-aabbccddeeff}" + end + u"\\device\\" +
             u"{5a8d2f31-0b7c-4e96-a1d4-3c2b9e8f7a60}" + end + end),
     bindOrder::rewritten,
     {ownText, otherText}},
    {"WhitespaceBetweenEntries",
     bytesOf(u" \t" + other + u"\r\n" + own + u"\v\f " + end),
     bindOrder::rewritten,
     {ownText, otherText}},
    // The last entry ends exactly where the value does: no NUL at all.
    {"LastEntryAtTheEndOfTheValue",
     bytesOf(other + u"\\Device\\" + ownText),
     bindOrder::rewritten,
     {ownText, otherText}},
    // An odd last byte is no character.
    {"OddSizeAfterTheList", bytesOf(other + own + end) + '\0', bindOrder::rewritten, {ownText, otherText}},
    {"OddSizeCutsTheLastGuid",
     bytesOf(other + u"\\Device\\" + ownText).substr(0, bytesOf(other).size() + 16 + 75),
     bindOrder::guidTooShort,
     {}},
    {"OwnAbsent", bytesOf(other + third + end), bindOrder::adapterNotListed, {}},
    {"OnlyNuls", bytesOf(end + end), bindOrder::adapterNotListed, {}},
    {"EmptyValue", "", bindOrder::adapterNotListed, {}},
    {"OneByte", std::string(1, '\\'), bindOrder::adapterNotListed, {}},
    {"EntryCutInThePrefix", bytesOf(own + u"\\Devic"), bindOrder::entryTooShort, {}},
    {"OtherPrefix", bytesOf(own + entry(otherText, u"\\Driver\\") + end), bindOrder::entryNotDevice, {}},
    {"PrefixWithoutLeadingBackslash",
     bytesOf(entry(otherText, u"Device\\\\") + own + end),
     bindOrder::entryNotDevice,
     {}},
    {"TextAfterAGuid",
     bytesOf(u"\\Device\\" + std::u16string(ownText) + u"x" + other + end),
     bindOrder::entryNotDevice,
     {}},
    {"ShortTextAfterAGuid",
     bytesOf(u"\\Device\\" + std::u16string(ownText) + u"x" + end + end),
     bindOrder::entryTooShort,
     {}},
    // Non-ASCII blanks are not separators.
    {"NoBreakSpaceBetweenEntries", bytesOf(own + u"\u00a0" + other + end), bindOrder::entryNotDevice, {}},
    {"GuidCutAtTheEnd", bytesOf(own + u"\\Device\\{00112233-4455}"), bindOrder::guidTooShort, {}},
    // A short GUID followed by more entries is read across them: it is malformed, not short.
    {"ShortGuidBeforeAnotherEntry", bytesOf(entry(u"{00112233}") + own + end), bindOrder::guidInvalid, {}},
    {"GuidWithoutBraces",
     bytesOf(entry(u"00112233-4455-6677-8899-AABBCCDDEEFF") + own + end),
     bindOrder::guidInvalid,
     {}},
    {"GuidWithANonHexDigit",
     bytesOf(own + entry(u"{0011223G-4455-6677-8899-AABBCCDDEEFF}") + end),
     bindOrder::guidInvalid,
     {}},
    {"GuidWithAMovedDash",
     bytesOf(own + entry(u"{0011223-34455-6677-8899-AABBCCDDEEFF}") + end),
     bindOrder::guidInvalid,
     {}},
    {"GuidInParentheses",
     bytesOf(own + entry(u"(00112233-4455-6677-8899-AABBCCDDEEFF)") + end),
     bindOrder::guidInvalid,
     {}},
};

class RewriteBindOrderTable : public testing::TestWithParam<BindCase> {};

TEST_P(RewriteBindOrderTable, GivesTheResultAndTheNewOrder) {
  const BindCase& c = GetParam();
  BindRewrite rewrite = rewriteBindOrder(c.value, guidOf(ownText));
  ASSERT_EQ(rewrite.result, c.result);
  if (c.result != bindOrder::rewritten) {
    EXPECT_TRUE(rewrite.order.empty());
    EXPECT_TRUE(rewrite.value.empty());
    return;
  }
  std::vector<std::u16string> order;
  std::u16string expected;
  for (const BindGuid& guid : rewrite.order) order.push_back(bracedGuidText(guid));
  for (const std::u16string& guid : c.order) expected += u"\\Device\\" + guid + end;
  EXPECT_EQ(order, c.order);
  EXPECT_EQ(rewrite.value, bytesOf(expected + end));
}

INSTANTIATE_TEST_SUITE_P(BindLists, RewriteBindOrderTable, testing::ValuesIn(bindCases),
                         [](const testing::TestParamInfo<BindCase>& info) { return info.param.name; });

TEST(RewriteBindOrder, ARewrittenListIsAFixedPoint) {
  BindRewrite first = rewriteBindOrder(bytesOf(other + third + own + end), guidOf(ownText));
  ASSERT_EQ(first.result, bindOrder::rewritten);
  BindRewrite second = rewriteBindOrder(first.value, guidOf(ownText));
  ASSERT_EQ(second.result, bindOrder::rewritten);
  EXPECT_EQ(second.value, first.value);
}

TEST(RewriteBindOrder, ALongListMovesItsLastEntry) {
  std::u16string list;
  const int count = 3000;
  for (int i = 0; i < count; ++i) {
    BindGuid guid;
    guid.data1 = static_cast<uint32_t>(i);
    list += u"\\Device\\" + bracedGuidText(guid) + end;
  }
  BindRewrite rewrite = rewriteBindOrder(bytesOf(list + own + end), guidOf(ownText));
  ASSERT_EQ(rewrite.result, bindOrder::rewritten);
  ASSERT_EQ(rewrite.order.size(), static_cast<size_t>(count + 1));
  EXPECT_EQ(rewrite.order.front(), guidOf(ownText));
  EXPECT_EQ(rewrite.order.back().data1, static_cast<uint32_t>(count - 1));
  // 47 characters per entry with its NUL, one more NUL, two bytes each.
  EXPECT_EQ(rewrite.value.size(), static_cast<size_t>((47 * (count + 1) + 1) * 2));
}

struct GuidCase {
  const char* name;
  std::u16string text;  // 38 units, or a text that ends early
  bool parses;
};

const GuidCase guidCases[] = {
    {"UpperCase", u"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}", true},
    {"LowerCase", u"{5a8d2f31-0b7c-4e96-a1d4-3c2b9e8f7a60}", true},
    {"AllZero", u"{00000000-0000-0000-0000-000000000000}", true},
    {"NoOpeningBrace", u"x5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}", false},
    {"NoClosingBrace", u"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60)", false},
    {"DashAsDigit", u"{5A8D2F31-0B7C-4E96-A1D4--C2B9E8F7A60}", false},
    {"SpaceAsDigit", u"{5A8D2F31-0B7C-4E96-A1D4- C2B9E8F7A60}", false},
    {"NoDashes", u"{5A8D2F3100B7C04E960A1D403C2B9E8F7A60}", false},
    {"SignInADigitGroup", u"{+A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}", false},
    {"FullWidthDigit", u"{\uff15A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60}", false},
    // Its end is the string's end: nothing past the terminator is read.
    {"EndsAfterTheLastDash", u"{5A8D2F31-0B7C-4E96-A1D4-", false},
    {"EndsBeforeTheClosingBrace", u"{5A8D2F31-0B7C-4E96-A1D4-3C2B9E8F7A60", false},
    {"Empty", u"", false},
};

class BracedGuidTable : public testing::TestWithParam<GuidCase> {};

TEST_P(BracedGuidTable, ParsesExactlyTheRegistryForm) {
  const GuidCase& c = GetParam();
  BindGuid guid;
  guid.data1 = 7;
  EXPECT_EQ(parseBracedGuid(c.text.c_str(), guid), c.parses);
  if (!c.parses) {
    EXPECT_EQ(guid.data1, 7u) << "a refused text changed the GUID";
    return;
  }
  std::u16string upper = c.text;
  for (char16_t& ch : upper)
    if (ch >= u'a' && ch <= u'f') ch = static_cast<char16_t>(ch - u'a' + u'A');
  EXPECT_EQ(bracedGuidText(guid), upper);
}

INSTANTIATE_TEST_SUITE_P(Guids, BracedGuidTable, testing::ValuesIn(guidCases),
                         [](const testing::TestParamInfo<GuidCase>& info) { return info.param.name; });

TEST(BracedGuid, FieldsAreReadInTheirOrder) {
  BindGuid guid = guidOf(u"{01234567-89AB-CDEF-0123-456789ABCDEF}");
  EXPECT_EQ(guid.data1, 0x01234567u);
  EXPECT_EQ(guid.data2, 0x89ABu);
  EXPECT_EQ(guid.data3, 0xCDEFu);
  const uint8_t data4[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(guid.data4[i], data4[i]) << i;
}

}  // namespace
