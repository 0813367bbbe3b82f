#include "core/DebugLog.h"

#include <mbedtls/aes.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "core/FatalError.h"

namespace {

struct DebugLogState {
  std::mutex mutex;
  std::atomic<FILE*> file{nullptr};  // read unlocked: a closed log takes no lock
  mbedtls_aes_context aes;
  unsigned char key[16] = {};
  unsigned char counter[16] = {};
  unsigned char keystream[16] = {};
  size_t used = 16;
  DebugLogState() { mbedtls_aes_init(&aes); }
};

DebugLogState& logState() {
  static DebugLogState* state = new DebugLogState;  // lives until the process ends
  return *state;
}

void refreshDebugLogKeystream(DebugLogState& s) {
  mbedtls_aes_crypt_ecb(&s.aes, MBEDTLS_AES_ENCRYPT, s.counter, s.keystream);
  s.used = 0;
}

}  // namespace

void incrementLogCounter(unsigned char counter[16]) {
  for (int i = 0; i < 16; ++i)
    if (++counter[i] != 0) break;
}

void startDebugLog(FILE* file, const char* publicKeyPem) {
  DebugLogState& s = logState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (FILE* old = s.file.exchange(nullptr)) std::fclose(old);
  if (!file) return;

  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  if (mbedtls_pk_parse_public_key(&pk, reinterpret_cast<const unsigned char*>(publicKeyPem),
                                  std::strlen(publicKeyPem) + 1) != 0)
    fatalError(152);
  // Type first: an EC key has a bit length too, and is refused as not RSA.
  if (mbedtls_pk_get_type(&pk) != MBEDTLS_PK_RSA) fatalError(154);
  if (mbedtls_pk_get_bitlen(&pk) != 2048) fatalError(153);

  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);
  if (mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) != 0) fatalError(155);
  if (mbedtls_ctr_drbg_random(&drbg, s.key, sizeof s.key) != 0) fatalError(156);
  if (mbedtls_ctr_drbg_random(&drbg, s.counter, sizeof s.counter) != 0) fatalError(157);

  unsigned char plain[32];
  std::memcpy(plain, s.key, 16);
  std::memcpy(plain + 16, s.counter, 16);
  unsigned char wrapped[256];
  if (mbedtls_rsa_pkcs1_encrypt(mbedtls_pk_rsa(pk), mbedtls_ctr_drbg_random, &drbg, MBEDTLS_RSA_PUBLIC, sizeof plain,
                                plain, wrapped) != 0)
    fatalError(158);
  mbedtls_platform_zeroize(plain, sizeof plain);
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  mbedtls_platform_zeroize(&drbg, sizeof drbg);
  mbedtls_platform_zeroize(&entropy, sizeof entropy);

  mbedtls_aes_setkey_enc(&s.aes, s.key, 128);
  std::fwrite(wrapped, 1, sizeof wrapped, file);
  refreshDebugLogKeystream(s);
  std::fflush(file);
  mbedtls_pk_free(&pk);
  s.file = file;
}

void writeDebugLog(const std::string& text) {
  DebugLogState& s = logState();
  if (!s.file) return;
  std::lock_guard<std::mutex> lock(s.mutex);
  FILE* file = s.file.load();
  if (!file) return;
  size_t pos = 0;
  while (pos < text.size()) {
    if (s.used == 16) {
      incrementLogCounter(s.counter);
      refreshDebugLogKeystream(s);
    }
    size_t piece = std::min(text.size() - pos, 16 - s.used);
    unsigned char out[16];
    for (size_t i = 0; i < piece; ++i) out[i] = static_cast<unsigned char>(text[pos + i]) ^ s.keystream[s.used + i];
    std::fwrite(out, 1, piece, file);
    s.used += piece;
    pos += piece;
  }
  std::fflush(file);
}
