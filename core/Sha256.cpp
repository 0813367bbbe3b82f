#include "core/Sha256.h"

#include <mbedtls/sha256.h>

#include <stdexcept>

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[32];
  if (mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest, 0) != 0)
    throw std::runtime_error("sha256 failed");
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (unsigned char byte : digest) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}
