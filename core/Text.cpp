#include "core/Text.h"

#include <mbedtls/base64.h>
#include <utf8/unchecked.h>

#include <iterator>
#include <stdexcept>
#include <vector>

#include "core/NumberError.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the complete sequences at the front of text: the unchecked decoder
// trusts each lead byte's length, so a cut last sequence must not reach it.
size_t completeUtf8Prefix(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[pos]);
    size_t length = 1;
    if (lead >= 0xF0) length = 4;
    else if (lead >= 0xE0) length = 3;
    else if (lead >= 0xC0) length = 2;
    if (length > text.size() - pos) break;
    pos += length;
  }
  return pos;
}

}  // namespace

std::wstring fromUtf8(const std::string& text) {
  size_t complete = completeUtf8Prefix(text);
  std::wstring out;
  out.reserve(complete);
  utf8::unchecked::utf8to16(text.begin(), text.begin() + complete, std::back_inserter(out));
  if (complete < text.size()) out.push_back(static_cast<wchar_t>(kReplacement));
  return out;
}

std::string toUtf8(const std::wstring& text) {
  size_t complete = text.size();
  if (complete > 0) {
    uint32_t last = static_cast<uint32_t>(text.back()) & 0xFFFFFFFFu;
    if (last >= 0xD800 && last <= 0xDBFF) --complete;
  }
  std::vector<uint16_t> units;
  units.reserve(complete);
  for (size_t i = 0; i < complete; ++i) units.push_back(static_cast<uint16_t>(text[i]));
  std::string out;
  out.reserve(complete);
  utf8::unchecked::utf16to8(units.begin(), units.end(), std::back_inserter(out));
  if (complete < text.size()) utf8::unchecked::append(kReplacement, std::back_inserter(out));
  return out;
}

std::string base64Decode(const std::string& text) {
  const auto* src = reinterpret_cast<const unsigned char*>(text.data());
  size_t measured = 0;
  if (mbedtls_base64_decode(nullptr, 0, &measured, src, text.size()) != MBEDTLS_ERR_BASE64_BUFFER_TOO_SMALL)
    throw NumberError(9);
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
