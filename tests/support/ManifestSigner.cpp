#include "tests/support/ManifestSigner.h"

#include <mbedtls/base64.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha512.h>

#include <cstdint>
#include <stdexcept>

#include "tests/support/TestFiles.h"
#include "update/Sha1Digest.h"

namespace {

// PKCS#1 v1.5 signing only uses it for blinding; a fixed stream keeps it simple.
int testRandom(void*, unsigned char* out, size_t length) {
  static uint32_t state = 12345;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    out[i] = static_cast<unsigned char>(state >> 16);
  }
  return 0;
}

}  // namespace

std::string base64Encode(const std::string& bytes) {
  size_t needed = 0;
  mbedtls_base64_encode(nullptr, 0, &needed, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  std::string out(needed, '\0');
  size_t written = 0;
  if (mbedtls_base64_encode(reinterpret_cast<unsigned char*>(&out[0]), out.size(), &written,
                            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 0)
    throw std::runtime_error("base64 encode failed");
  out.resize(written);
  return out;
}

std::string signSha512(const std::string& document) {
  std::string pem = readFileBytes(testKeyPath("service-test-private.pem"));
  mbedtls_pk_context key;
  mbedtls_pk_init(&key);
  if (mbedtls_pk_parse_key(&key, reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1, nullptr, 0) != 0)
    throw std::runtime_error("test private key does not parse");
  unsigned char hash[64];
  mbedtls_sha512_ret(reinterpret_cast<const unsigned char*>(document.data()), document.size(), hash, 0);
  unsigned char signature[MBEDTLS_PK_SIGNATURE_MAX_SIZE];
  size_t length = 0;
  int result = mbedtls_pk_sign(&key, MBEDTLS_MD_SHA512, hash, sizeof(hash), signature, &length, testRandom, nullptr);
  mbedtls_pk_free(&key);
  if (result != 0) throw std::runtime_error("signing failed");
  return std::string(reinterpret_cast<const char*>(signature), length);
}

std::string signedManifest(const std::string& document) {
  return base64Encode(document) + "\n" + base64Encode(signSha512(document));
}

std::string upToDateManifest(const std::string& clientProgram, const std::string* updaterProgram) {
  std::string entry = Sha1Digest::of(clientProgram).toHex();
  std::string updater = updaterProgram ? Sha1Digest::of(*updaterProgram).toHex() : entry;
  return signedManifest("{\"entryProgram\":\"" + entry + "\",\"updaterProgram\":\"" + updater +
                        "\",\"deletedFiles\":[],\"requiredFiles\":{}}");
}
