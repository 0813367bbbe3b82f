#include "core/Text.h"

#include <mbedtls/base64.h>
#include <utf8/unchecked.h>

#include <iterator>
#include <stdexcept>

#include "core/NumberError.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The one walk over UTF-8 that both conversions use: decodes the sequence at
// pos into codePoint and moves pos past it. An invalid sequence gives false
// with pos past its longest valid beginning (at least one byte), so the walk
// resumes at the first byte that can start a new sequence and never passes the
// end. The ranges of the second byte shut out overlong forms, encoded
// surrogates (ED A0..BF) and code points above U+10FFFF.
bool nextCodePoint(const char* text, size_t size, size_t& pos, char32_t& codePoint) {
  const unsigned char lead = static_cast<unsigned char>(text[pos++]);
  if (lead < 0x80) {
    codePoint = lead;
    return true;
  }
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return false;
  }
  codePoint = lead & (0xFFu >> (length + 1));
  for (size_t i = 1; i < length; ++i) {
    if (pos >= size) return false;
    const unsigned char next = static_cast<unsigned char>(text[pos]);
    if (next < low || next > high) return false;
    low = 0x80;
    high = 0xBF;
    codePoint = (codePoint << 6) | (next & 0x3Fu);
    ++pos;
  }
  return true;
}

void appendUtf16(std::wstring& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<wchar_t>(codePoint));
    return;
  }
  codePoint -= 0x10000;
  out.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
  out.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
}

std::wstring convertUtf8(const std::string& text, bool checked) {
  std::wstring out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t codePoint = 0;
    if (!nextCodePoint(text.data(), text.size(), pos, codePoint)) {
      if (checked) throw std::invalid_argument("text is not UTF-8");
      codePoint = kReplacement;
    }
    appendUtf16(out, codePoint);
  }
  return out;
}

bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::wstring fromUtf8(const std::string& text) { return convertUtf8(text, false); }

std::wstring fromUtf8Checked(const std::string& text) { return convertUtf8(text, true); }

bool isUtf8(const char* text, size_t size) {
  size_t pos = 0;
  char32_t codePoint = 0;
  while (pos < size)
    if (!nextCodePoint(text, size, pos, codePoint)) return false;
  return true;
}

std::string toUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  auto sink = std::back_inserter(out);
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t unit = static_cast<uint32_t>(text[i]);
    char32_t codePoint = unit;
    if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(static_cast<uint32_t>(text[i + 1]))) {
      codePoint = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit) || unit > 0xFFFF) {
      // A unit above 0xFFFF only exists where wchar_t has 32 bits; it is no UTF-16.
      codePoint = kReplacement;
    }
    utf8::unchecked::append(codePoint, sink);
  }
  return out;
}

std::string base64Decode(const std::string& text) {
  const auto* src = reinterpret_cast<const unsigned char*>(text.data());
  size_t measured = 0;
  if (mbedtls_base64_decode(nullptr, 0, &measured, src, text.size()) != MBEDTLS_ERR_BASE64_BUFFER_TOO_SMALL)
    throw NumberError(9);
  // Padding alone ("=", "==") measures as nothing: a text that is not empty
  // never decodes to nothing.
  if (measured == 0) throw NumberError(10);
  std::string out(measured, '\0');
  size_t written = 0;
  // mbedTLS measures unpadded input such as "QQ" and then decodes it to
  // nothing with success: a size that differs from the measured one is a failure.
  if (mbedtls_base64_decode(reinterpret_cast<unsigned char*>(&out[0]), out.size(), &written, src, text.size()) != 0 ||
      written != measured)
    throw NumberError(10);
  return out;
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  throw NumberError(8);
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

namespace {

uint32_t parseIPv4Octet(const std::string& text, size_t& pos) {
  auto isDigit = [&](size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
  if (!isDigit(pos)) throw std::invalid_argument("bad IPv4 address");
  if (text[pos] == '0') {
    ++pos;
    return 0;
  }
  uint32_t value = 0;
  for (int digits = 0; digits < 3 && isDigit(pos); ++digits) value = value * 10 + static_cast<uint32_t>(text[pos++] - '0');
  if (value > 255) throw std::invalid_argument("bad IPv4 address");
  return value;
}

}  // namespace

uint32_t parseIPv4(const std::string& text) {
  size_t pos = 0;
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') throw std::invalid_argument("bad IPv4 address");
      ++pos;
    }
    address = (address << 8) | parseIPv4Octet(text, pos);
  }
  if (pos != text.size()) throw std::invalid_argument("bad IPv4 address");
  return address;
}
