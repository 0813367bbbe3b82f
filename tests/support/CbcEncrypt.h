#pragma once

// AES-256-CBC encryption of whole blocks, as the service's side of the
// channel sends its frames.
#include <mbedtls/aes.h>

#include <cstring>
#include <string>

// plain's size must be a multiple of 16.
inline std::string cbcEncrypt(const unsigned char (&key)[32], const unsigned char (&iv)[16],
                              const std::string& plain) {
  std::string cipher(plain.size(), '\0');
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  mbedtls_aes_setkey_enc(&aes, key, 256);
  unsigned char chain[16];
  std::memcpy(chain, iv, sizeof chain);
  mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, plain.size(), chain,
                        reinterpret_cast<const unsigned char*>(plain.data()),
                        reinterpret_cast<unsigned char*>(&cipher[0]));
  mbedtls_aes_free(&aes);
  return cipher;
}
