#include "update/Sha1Digest.h"

#include <mbedtls/sha1.h>

#include <stdexcept>

#include "core/NumberError.h"
#include "core/Text.h"

Sha1Digest Sha1Digest::fromHex(const std::string& text) {
  if (text.size() != 2 * kSize) throw NumberError(6);
  Bytes bytes;
  for (size_t i = 0; i < kSize; ++i)
    bytes[i] = static_cast<uint8_t>(hexDigitValue(text[2 * i]) << 4 | hexDigitValue(text[2 * i + 1]));
  return Sha1Digest(bytes);
}

struct Sha1Hasher::Context {
  mbedtls_sha1_context sha1;
};

// The software SHA-1 of mbedTLS cannot fail; a failure means a broken build.
static void checkSha1(int result) {
  if (result != 0) throw std::logic_error("sha1 failed");
}

Sha1Hasher::Sha1Hasher() : context_(new Context) {
  mbedtls_sha1_init(&context_->sha1);
  checkSha1(mbedtls_sha1_starts_ret(&context_->sha1));
}

Sha1Hasher::~Sha1Hasher() { mbedtls_sha1_free(&context_->sha1); }

void Sha1Hasher::update(const void* data, size_t length) {
  checkSha1(mbedtls_sha1_update_ret(&context_->sha1, static_cast<const unsigned char*>(data), length));
}

Sha1Digest Sha1Hasher::finish() {
  Sha1Digest::Bytes bytes;
  checkSha1(mbedtls_sha1_finish_ret(&context_->sha1, bytes.data()));
  return Sha1Digest(bytes);
}

Sha1Digest Sha1Digest::of(const void* data, size_t length) {
  Sha1Hasher hasher;
  hasher.update(data, length);
  return hasher.finish();
}

std::string Sha1Digest::toHex() const {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  if (!bytes_) return text;
  text.reserve(2 * kSize);
  for (uint8_t byte : *bytes_) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

size_t Sha1DigestHash::operator()(const Sha1Digest& digest) const {
  const uint8_t* bytes = digest.data();
  if (!bytes) return 0;
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}
