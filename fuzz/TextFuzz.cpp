// The text conversions: UTF-8 and UTF-16 both ways, Base64, hex digits and
// dotted IPv4. The first byte picks the conversion.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/NumberError.h"
#include "core/Text.h"
#include "fuzz/FuzzCheck.h"
#include "netcfg/NetText.h"
#include "tests/support/ManifestSigner.h"

namespace {

void utf8(const std::string& bytes) {
  const std::wstring wide = fromUtf8(bytes);
  // What fromUtf8 gives is always valid, so it converts back and forth exactly.
  const std::string back = toUtf8(wide);
  FUZZ_CHECK(fromUtf8Checked(back) == wide);
  const bool valid = isUtf8(bytes.data(), bytes.size());
  try {
    const std::wstring checked = fromUtf8Checked(bytes);
    FUZZ_CHECK(valid);
    FUZZ_CHECK(checked == wide);
    FUZZ_CHECK(back == bytes);
  } catch (const std::invalid_argument&) {
    FUZZ_CHECK(!valid);
    FUZZ_CHECK(back != bytes);
    FUZZ_CHECK(wide.find(L'\xFFFD') != std::wstring::npos);
  }
}

void utf16(const std::string& bytes) {
  std::wstring wide;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    wide.push_back(static_cast<wchar_t>(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
  // Expected: each pair as itself, each lone surrogate as U+FFFD.
  std::wstring expected;
  for (size_t i = 0; i < wide.size(); ++i) {
    const wchar_t unit = wide[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      expected += unit;
      expected += wide[++i];
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      expected += L'\xFFFD';
    } else {
      expected += unit;
    }
  }
  // UTF-16 on every build: code points above U+FFFF come back as their pair.
  FUZZ_CHECK(fromUtf8Checked(toUtf8(wide)) == expected);
}

void base64(const std::string& bytes) {
  try {
    const std::string decoded = base64Decode(bytes);
    FUZZ_CHECK(!decoded.empty());
    FUZZ_CHECK(decoded.size() <= bytes.size() * 3 / 4);
  } catch (const NumberError& error) {
    FUZZ_CHECK(error.code() == 9 || error.code() == 10);
  }
  if (!bytes.empty()) FUZZ_CHECK(base64Decode(base64Encode(bytes)) == bytes);
}

void hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  for (char c : bytes) {
    try {
      const int value = hexDigitValue(c);
      FUZZ_CHECK(value >= 0 && value < 16 && digits[value] == c);
    } catch (const NumberError& error) {
      FUZZ_CHECK(error.code() == 8);
      FUZZ_CHECK(c == '\0' || std::strchr(digits, c) == nullptr);
    }
  }
}

void ipv4(const std::string& bytes) {
  try {
    // Only the canonical text parses, so it is exactly what printing gives.
    FUZZ_CHECK(ipv4ToString(parseIPv4(bytes)) == bytes);
  } catch (const std::invalid_argument&) {
  }
  if (bytes.size() >= 4) {
    uint32_t address = 0;
    std::memcpy(&address, bytes.data(), 4);
    FUZZ_CHECK(parseIPv4(ipv4ToString(address)) == address);
    FUZZ_CHECK(fromNetworkOrder(toNetworkOrder(address)) == address);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0: utf8(bytes); break;
    case 1: utf16(bytes); break;
    case 2: base64(bytes); break;
    case 3: hex(bytes); break;
    default: ipv4(bytes); break;
  }
  return 0;
}
