#include "core/SignatureVerifier.h"

#include <mbedtls/platform_util.h>
#include <mbedtls/sha512.h>

#include <cstring>

#include "core/Endpoints.h"
#include "core/FatalError.h"

SignatureVerifier::SignatureVerifier() { mbedtls_pk_init(&key_); }

SignatureVerifier::~SignatureVerifier() {
  mbedtls_pk_free(&key_);
  mbedtls_platform_zeroize(&key_, sizeof key_);
}

std::unique_ptr<SignatureVerifier> SignatureVerifier::create() { return createFromPem(updateKeyPem().c_str()); }

std::unique_ptr<SignatureVerifier> SignatureVerifier::createFromPem(const char* pem) {
  // Owned before parsing, so that a fatal error that unwinds frees the key.
  std::unique_ptr<SignatureVerifier> verifier(new SignatureVerifier());
  if (mbedtls_pk_parse_public_key(&verifier->key_, reinterpret_cast<const unsigned char*>(pem),
                                  std::strlen(pem) + 1) != 0)
    fatalError(99);
  // Type before size: the bit length of a non-RSA key says nothing.
  if (mbedtls_pk_get_type(&verifier->key_) != MBEDTLS_PK_RSA) fatalError(101);
  if (mbedtls_pk_get_bitlen(&verifier->key_) != 2048) fatalError(100);
  return verifier;
}

mbedtls_rsa_context* SignatureVerifier::rsa() { return mbedtls_pk_rsa(key_); }

bool SignatureVerifier::verify(const unsigned char* data, size_t length, const unsigned char signature[256]) {
  unsigned char digest[64];
  mbedtls_sha512_context sha;
  mbedtls_sha512_init(&sha);
  bool hashed = mbedtls_sha512_starts_ret(&sha, 0) == 0 && mbedtls_sha512_update_ret(&sha, data, length) == 0 &&
                mbedtls_sha512_finish_ret(&sha, digest) == 0;
  mbedtls_sha512_free(&sha);
  bool good = hashed && mbedtls_rsa_pkcs1_verify(rsa(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA512,
                                                 sizeof digest, digest, signature) == 0;
  mbedtls_platform_zeroize(digest, sizeof digest);
  return good;
}
