#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>

#include <cstddef>
#include <mutex>

// The client's one source of random bytes: a CTR-DRBG seeded from the
// platform's entropy source. Callable from any thread.
class RandomGenerator {
 public:
  RandomGenerator();  // seeding failure: fatalError(84)
  ~RandomGenerator();
  RandomGenerator(const RandomGenerator&) = delete;
  RandomGenerator& operator=(const RandomGenerator&) = delete;

  // Any length; generating failure: fatalError(85).
  void random(unsigned char* out, size_t length);

 private:
  std::mutex mutex_;
  mbedtls_entropy_context entropy_;
  mbedtls_ctr_drbg_context drbg_;
};

// mbedTLS f_rng with a RandomGenerator* as context. Always returns 0: a
// generator failure ends the process instead of reaching mbedTLS.
int randomGeneratorRng(void* generator, unsigned char* out, size_t length);
