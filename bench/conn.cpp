// Round trips per second and reply throughput of the backend channel over
// loopback, against the stand-in backend.
#include <mbedtls/aes.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/RandomGenerator.h"
#include "service/ConnThread.h"
#include "tests/support/ConnBackend.h"

namespace {

class WaitingSink : public ConnReplySink {
 public:
  void onFailure() override { finish(true, std::string()); }
  void onReply(std::string text) override { finish(false, std::move(text)); }
  // The reply size, or -1 for a failure.
  long long wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return finished_; });
    return failed_ ? -1 : static_cast<long long>(text_.size());
  }

 private:
  void finish(bool failed, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = failed;
    text_ = std::move(text);
    finished_ = true;
    done_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  bool failed_ = false;
  std::string text_;
};

long long roundTrip(ConnThread& conn, const std::string& payload) {
  auto sink = std::make_shared<WaitingSink>();
  conn.send(payload, sink);
  return sink->wait();
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds the whole process (the client; the backend is another process) has used.
double cpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds per MiB that mbedTLS takes to decrypt AES-256-CBC on one core, in
// 4 MiB calls like a reply's: the least any client of this cipher can spend.
double cbcSecondsPerMiB() {
  std::vector<unsigned char> in(4 << 20, 0x5A), out(in.size());
  unsigned char key[32] = {1, 2, 3};
  unsigned char iv[16] = {};
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  mbedtls_aes_setkey_dec(&aes, key, 256);
  const int rounds = 16;
  const double start = cpuSeconds();
  for (int i = 0; i < rounds; ++i) mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, in.size(), iv, in.data(), out.data());
  const double spent = cpuSeconds() - start;
  mbedtls_aes_free(&aes);
  return spent / (rounds * 4.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int replies = argc > 2 ? std::atoi(argv[2]) : 8;
  const int replySize = 4 << 20;
  ConnBackend backend;
  std::mutex mutex;
  std::condition_variable changed;
  int state = -1;
  ConnThread conn(std::make_shared<RandomGenerator>(),
                  [&](int next) {
                    std::lock_guard<std::mutex> lock(mutex);
                    state = next;
                    changed.notify_all();
                  },
                  "127.0.0.1", backend.channelPort());
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return state == 4; })) {
      std::fprintf(stderr, "conn_bench: the channel did not become ready\n");
      return 1;
    }
  }

  const std::string request = "{\"un\":\"bench\",\"pw\":\"bench\",\"op\":\"login\"}";
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < trips; ++i) {
    if (roundTrip(conn, request) != static_cast<long long>(request.size())) {
      std::fprintf(stderr, "conn_bench: round trip %d failed\n", i);
      return 1;
    }
  }
  double elapsed = secondsSince(start);
  std::printf("round trips: %d of %zu bytes in %.3f s = %.0f per second\n", trips, request.size(), elapsed,
              trips / elapsed);

  double clientPerMiB = 0;
  for (const bool compressed : {false, true}) {
    for (int i = 0; i < replies; ++i)
      backend.onRequest("{\"size\":" + std::to_string(replySize) + (compressed ? ",\"compress\":true}" : "}"));
    start = std::chrono::steady_clock::now();
    const double cpuStart = cpuSeconds();
    for (int i = 0; i < replies; ++i) {
      if (roundTrip(conn, "{}") != replySize) {
        std::fprintf(stderr, "conn_bench: reply %d failed\n", i);
        return 1;
      }
    }
    elapsed = secondsSince(start);
    const double cpu = cpuSeconds() - cpuStart;
    const double mib = replies * (replySize / 1048576.0);
    if (!compressed) clientPerMiB = cpu / mib;
    std::printf("replies%s: %d of %d bytes in %.3f s = %.1f MiB/s of reply text\n", compressed ? " (compressed)" : "",
                replies, replySize, elapsed, replies * (replySize / 1048576.0) / elapsed);
    std::printf("  client CPU %.3f s = %.2f ms per MiB\n", cpu, 1000 * cpu / mib);
  }
  const double cbcPerMiB = cbcSecondsPerMiB();
  std::printf("AES-256-CBC decryption alone: %.2f ms per MiB (%.0f MiB/s on one core)\n", 1000 * cbcPerMiB,
              1 / cbcPerMiB);
  std::printf("ratio conn_cpu_vs_cbc %.2f\n", clientPerMiB > 0 ? cbcPerMiB / clientPerMiB : 0.0);
  return 0;
}
