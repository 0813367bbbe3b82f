#include "tests/support/DebugLogReader.h"

#include <mbedtls/aes.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/DebugLog.h"
#include "tests/support/TestFiles.h"

namespace {

const size_t kHeadSize = 256;

// Key and counter from the RSA-wrapped head of the log.
void unwrapHead(const std::string& blob, unsigned char head[32]) {
  std::string pem = readFileBytes(testKeyPath("log-test-private.pem"));
  mbedtls_pk_context pk;
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_pk_init(&pk);
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);
  size_t length = 0;
  bool ok = mbedtls_pk_parse_key(&pk, reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1, nullptr,
                                 0) == 0 &&
            mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) == 0 &&
            mbedtls_rsa_pkcs1_decrypt(mbedtls_pk_rsa(pk), mbedtls_ctr_drbg_random, &drbg, MBEDTLS_RSA_PRIVATE, &length,
                                      reinterpret_cast<const unsigned char*>(blob.data()), head, 32) == 0 &&
            length == 32;
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  mbedtls_pk_free(&pk);
  if (!ok) throw std::runtime_error("debug log head does not unwrap with the test key");
}

// The counter of keystream block n: the initial counter plus n, as 128-bit
// little-endian numbers (byte 0 lowest). Added here on its own rather than by
// the client's step, so a wrong step in the client shows.
void counterOfBlock(const unsigned char initial[16], uint64_t n, unsigned char out[16]) {
  unsigned carry = 0;
  for (int i = 0; i < 16; ++i) {
    unsigned addend = i < 8 ? static_cast<unsigned>((n >> (8 * i)) & 0xFF) : 0;
    unsigned sum = initial[i] + addend + carry;
    out[i] = static_cast<unsigned char>(sum & 0xFF);
    carry = sum >> 8;
  }
}

}  // namespace

std::string decryptDebugLog(const std::string& blob) {
  if (blob.size() < kHeadSize) throw std::runtime_error("debug log shorter than its head");
  unsigned char head[32];
  unwrapHead(blob, head);
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  mbedtls_aes_setkey_enc(&aes, head, 128);
  const unsigned char* initial = head + 16;
  unsigned char counter[16];
  unsigned char stream[16];
  std::string plain;
  for (size_t pos = kHeadSize; pos < blob.size(); ++pos) {
    size_t offset = (pos - kHeadSize) % 16;
    if (offset == 0) {
      counterOfBlock(initial, (pos - kHeadSize) / 16, counter);
      mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, counter, stream);
    }
    plain.push_back(static_cast<char>(static_cast<unsigned char>(blob[pos]) ^ stream[offset]));
  }
  mbedtls_aes_free(&aes);
  return plain;
}

// Under Wine, tmpfile() picks its name with GetTempFileName in the one shared
// temporary folder and fails now and then when test programs running at once
// meet on a name another is deleting: a few tries more.
static std::FILE* openTemporaryFile() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (std::FILE* file = std::tmpfile()) return file;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

CapturedDebugLog::CapturedDebugLog() : file_(openTemporaryFile()) {
  if (!file_) throw std::runtime_error("no temporary file for the debug log");
  std::string pem = readFileBytes(testKeyPath("log-test-public.pem"));
  startDebugLog(file_, pem.c_str());
}

CapturedDebugLog::~CapturedDebugLog() { startDebugLog(nullptr, nullptr); }

std::string CapturedDebugLog::text() {
  std::fflush(file_);
  std::rewind(file_);
  std::string blob;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file_)) > 0) blob.append(buffer, got);
  // Back to the end before the log writes again (a read may not be followed
  // directly by a write on one stream).
  std::fseek(file_, 0, SEEK_END);
  return decryptDebugLog(blob);
}

std::vector<std::string> unfreedComObjects(const std::string& log) {
  std::map<std::string, int> live;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    size_t colon = line.find(": ");
    if (line.empty() || line[0] != '@' || colon == std::string::npos) continue;
    std::string what = line.substr(colon + 2);
    if (what == "New ") ++live[line.substr(0, colon)];
    if (what == "Free" || what == "Free without release") --live[line.substr(0, colon)];
  }
  std::vector<std::string> unfreed;
  for (const auto& entry : live)
    if (entry.second) unfreed.push_back(entry.first);
  return unfreed;
}
