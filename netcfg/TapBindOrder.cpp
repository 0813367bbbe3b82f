#include "netcfg/TapBindOrder.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t guidLength = 38;
constexpr char16_t devicePrefix[] = u"\\Device\\";
constexpr size_t devicePrefixLength = 8;

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// count hexadecimal digits from text into value; false on any other character.
bool readHex(const char16_t* text, int count, uint32_t& value) {
  value = 0;
  for (int i = 0; i < count; ++i) {
    int digit = hexValue(text[i]);
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return true;
}

char16_t asciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool isSeparator(char16_t c) { return c == 0 || c == u' ' || (c >= u'\t' && c <= u'\r'); }

bool startsWithDevice(const char16_t* text) {
  for (size_t i = 0; i < devicePrefixLength; ++i)
    if (asciiLower(text[i]) != asciiLower(devicePrefix[i])) return false;
  return true;
}

void appendHex(std::u16string& text, uint32_t value, int digits) {
  static const char hex[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    text.push_back(static_cast<char16_t>(hex[(value >> shift) & 0xF]));
}

void appendUtf16Le(std::string& bytes, const std::u16string& text) {
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
}

}  // namespace

bool operator==(const BindGuid& a, const BindGuid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

bool parseBracedGuid(const char16_t* text, BindGuid& guid) {
  // A text that ends early is refused before any unit past its end is read.
  for (int i = 0; i < 38; ++i)
    if (text[i] == u'\0') return false;
  if (text[0] != u'{' || text[9] != u'-' || text[14] != u'-' || text[19] != u'-' || text[24] != u'-' ||
      text[37] != u'}')
    return false;
  BindGuid parsed;
  uint32_t value = 0;
  if (!readHex(text + 1, 8, value)) return false;
  parsed.data1 = value;
  if (!readHex(text + 10, 4, value)) return false;
  parsed.data2 = static_cast<uint16_t>(value);
  if (!readHex(text + 15, 4, value)) return false;
  parsed.data3 = static_cast<uint16_t>(value);
  static const int byteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!readHex(text + byteAt[i], 2, value)) return false;
    parsed.data4[i] = static_cast<uint8_t>(value);
  }
  guid = parsed;
  return true;
}

std::u16string bracedGuidText(const BindGuid& guid) {
  std::u16string text = u"{";
  appendHex(text, guid.data1, 8);
  text.push_back(u'-');
  appendHex(text, guid.data2, 4);
  text.push_back(u'-');
  appendHex(text, guid.data3, 4);
  text.push_back(u'-');
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text.push_back(u'-');
    appendHex(text, guid.data4[i], 2);
  }
  text.push_back(u'}');
  return text;
}

BindRewrite rewriteBindOrder(const std::string& value, const BindGuid& own) {
  BindRewrite rewrite;
  std::u16string text(value.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(value[2 * i]) |
                                    static_cast<unsigned char>(value[2 * i + 1]) << 8);

  std::vector<BindGuid> entries;
  size_t pos = 0;
  while (pos < text.size()) {
    if (isSeparator(text[pos])) {
      ++pos;
      continue;
    }
    if (text.size() - pos < devicePrefixLength) {
      rewrite.result = bindOrder::entryTooShort;
      return rewrite;
    }
    if (!startsWithDevice(text.data() + pos)) {
      rewrite.result = bindOrder::entryNotDevice;
      return rewrite;
    }
    pos += devicePrefixLength;
    if (text.size() - pos < guidLength) {
      rewrite.result = bindOrder::guidTooShort;
      return rewrite;
    }
    BindGuid guid;
    if (!parseBracedGuid(text.data() + pos, guid)) {
      rewrite.result = bindOrder::guidInvalid;
      return rewrite;
    }
    entries.push_back(guid);
    pos += guidLength;
  }

  auto found = std::find(entries.begin(), entries.end(), own);
  if (found == entries.end()) {
    rewrite.result = bindOrder::adapterNotListed;
    return rewrite;
  }
  entries.erase(found);
  entries.insert(entries.begin(), own);

  for (const BindGuid& guid : entries) {
    appendUtf16Le(rewrite.value, devicePrefix);
    appendUtf16Le(rewrite.value, bracedGuidText(guid));
    rewrite.value.append(2, '\0');
  }
  rewrite.value.append(2, '\0');
  rewrite.order = std::move(entries);
  rewrite.result = bindOrder::rewritten;
  return rewrite;
}
