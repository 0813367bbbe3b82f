#pragma once

#include <cstdint>
#include <string>

// Conversions between the engine's UTF-8 and the UTF-16 of Windows calls.
// Input is bounded: a cut-off last sequence or a lone high surrogate at the end
// becomes U+FFFD instead of a read past the end.
std::wstring fromUtf8(const std::string& text);
std::string toUtf8(const std::wstring& text);

// Standard Base64 with padding. NumberError 9 when the text can't be measured
// (empty, invalid character), 10 when it doesn't decode to its measured size.
std::string base64Decode(const std::string& text);

// '0'-'9' and 'a'-'f' only; anything else, uppercase included, is NumberError 8.
int hexDigitValue(char c);

bool startsWith(const std::string& text, const std::string& prefix);

// Exactly four dotted decimal parts without leading zeros, each below 256;
// the address in host order. std::invalid_argument otherwise.
uint32_t parseIPv4(const std::string& text);
