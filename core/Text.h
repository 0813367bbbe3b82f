#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Conversions between the engine's UTF-8 and the UTF-16 of Windows calls.
// Neither reads past its input. fromUtf8 turns each invalid UTF-8 sequence
// (cut, overlong, an encoded surrogate, above U+10FFFF, a stray byte) into one
// U+FFFD; fromUtf8Checked converts the same way but throws
// std::invalid_argument at the first one. toUtf8 turns every lone surrogate,
// wherever it stands, into U+FFFD, so it inverts fromUtf8Checked exactly.
std::wstring fromUtf8(const std::string& text);
std::wstring fromUtf8Checked(const std::string& text);
std::string toUtf8(const std::wstring& text);
// True when fromUtf8Checked would accept the bytes.
bool isUtf8(const char* text, size_t size);

// Standard Base64 with padding. NumberError 9 when the text can't be measured
// (empty, invalid character), 10 when it doesn't decode to its measured size
// or decodes to nothing (padding alone).
std::string base64Decode(const std::string& text);

// '0'-'9' and 'a'-'f' only; anything else, uppercase included, is NumberError 8.
int hexDigitValue(char c);

bool startsWith(const std::string& text, const std::string& prefix);

// Exactly four dotted decimal parts without leading zeros, each below 256;
// the address in host order. std::invalid_argument otherwise.
uint32_t parseIPv4(const std::string& text);
