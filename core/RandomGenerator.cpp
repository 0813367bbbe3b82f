#include "core/RandomGenerator.h"

#include "core/FatalError.h"

RandomGenerator::RandomGenerator() {
  mbedtls_entropy_init(&entropy_);
  mbedtls_ctr_drbg_init(&drbg_);
  if (mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr, 0) != 0) fatalError(84);
}

RandomGenerator::~RandomGenerator() {
  mbedtls_ctr_drbg_free(&drbg_);
  mbedtls_entropy_free(&entropy_);
}

void RandomGenerator::random(unsigned char* out, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The DRBG serves at most MBEDTLS_CTR_DRBG_MAX_REQUEST bytes per call.
  while (length > 0) {
    size_t piece = length < MBEDTLS_CTR_DRBG_MAX_REQUEST ? length : MBEDTLS_CTR_DRBG_MAX_REQUEST;
    if (mbedtls_ctr_drbg_random(&drbg_, out, piece) != 0) fatalError(85);
    out += piece;
    length -= piece;
  }
}

int randomGeneratorRng(void* generator, unsigned char* out, size_t length) {
  if (length != 0) static_cast<RandomGenerator*>(generator)->random(out, length);
  return 0;
}
