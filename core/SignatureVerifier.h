#pragma once

#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

#include <cstddef>
#include <memory>

// The service's RSA-2048 public key: encrypts the channel's keys (through
// rsa(), PKCS#1 v1.5) and verifies SHA-512 PKCS#1 v1.5 signatures. Made where
// needed and dropped afterwards; one thread at a time. Not copyable or
// movable: the RSA context is handed out by address.
class SignatureVerifier {
 public:
  // The built-in key (updateKeyPem()).
  static std::unique_ptr<SignatureVerifier> create();
  // pem: NUL-terminated PEM text. Does not parse: fatalError(99); not RSA:
  // fatalError(101); RSA but not 2048 bits: fatalError(100).
  static std::unique_ptr<SignatureVerifier> createFromPem(const char* pem);

  ~SignatureVerifier();
  SignatureVerifier(const SignatureVerifier&) = delete;
  SignatureVerifier& operator=(const SignatureVerifier&) = delete;

  mbedtls_rsa_context* rsa();
  // True when signature is the RSA PKCS#1 v1.5 signature of data's SHA-512.
  bool verify(const unsigned char* data, size_t length, const unsigned char signature[256]);

 private:
  SignatureVerifier();
  mbedtls_pk_context key_;
};
