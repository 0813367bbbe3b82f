#pragma once

#include <string>

// The SHA-256 digest of bytes as 64 lowercase hex digits.
std::string sha256Hex(const std::string& bytes);
