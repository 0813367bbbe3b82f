// Round trips per second and reply throughput of the backend channel over
// loopback, against the stand-in backend. The client's CPU per MiB of reply is
// shown for the first replies (their buffers fresh from the system) and for
// the steady state after two warm-up replies, each beside AES-256-CBC alone
// decrypting into buffers of the same temperature.
//   conn_bench [round trips] [replies]
#include <mbedtls/aes.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/FirstTouch.h"
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

// CPU seconds per MiB that mbedTLS takes to decrypt AES-256-CBC on one core
// into a 4 MiB output like a reply's: the least any client of this cipher can
// spend. cold: each output freshly mapped, as a first reply's; warm: one
// output written before, as in the steady state.
double cbcSecondsPerMiB(bool cold) {
  const size_t size = 4 << 20;
  std::vector<unsigned char> in(size, 0x5A), warm(size, 0);
  unsigned char key[32] = {1, 2, 3};
  unsigned char iv[16] = {};
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  mbedtls_aes_setkey_dec(&aes, key, 256);
  const int rounds = 16;
  double spent = 0;
  for (int i = 0; i < rounds; ++i) {
    unsigned char* out = warm.data();
    void* mapped = nullptr;
    if (cold) {
      mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (mapped == MAP_FAILED) return -1;
      out = static_cast<unsigned char*>(mapped);
    }
    const double start = cpuSeconds();
    mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, size, iv, in.data(), out);
    spent += cpuSeconds() - start;
    if (mapped) munmap(mapped, size);
  }
  mbedtls_aes_free(&aes);
  return spent / (rounds * 4.0);
}

struct Replies {
  double seconds = 0;
  double cpu = 0;
  int count = 0;
};

// count replies of replySize bytes, queued at the backend beforehand.
bool measureReplies(ConnThread& conn, int count, int replySize, Replies* out) {
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = cpuSeconds();
  for (int i = 0; i < count; ++i) {
    if (roundTrip(conn, "{}") != replySize) return false;
  }
  out->seconds += secondsSince(start);
  out->cpu += cpuSeconds() - cpuStart;
  out->count += count;
  return true;
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

  // The first replies land in memory fresh from the system, the later ones in
  // memory the process has written before: each kind is shown against the
  // cipher on outputs of the same temperature.
  const double mib = replySize / 1048576.0;
  const double cbcCold = cbcSecondsPerMiB(true);
  const double cbcWarm = cbcSecondsPerMiB(false);
  double steadyPerMiB = 0, firstPerMiB = 0;
  for (const bool compressed : {false, true}) {
    const std::string action = "{\"size\":" + std::to_string(replySize) + (compressed ? ",\"compress\":true}" : "}");
    const int warmUps = 2;
    for (int i = 0; i < warmUps + replies; ++i) backend.onRequest(action);
    Replies first, steady;
    if (!measureReplies(conn, warmUps, replySize, &first) || !measureReplies(conn, replies, replySize, &steady)) {
      std::fprintf(stderr, "conn_bench: a reply failed\n");
      return 1;
    }
    const char* kind = compressed ? " (compressed)" : "";
    std::printf("first %d replies%s of %d bytes: %.1f MiB/s of reply text, client CPU %.2f ms per MiB\n", first.count,
                kind, replySize, first.count * mib / first.seconds, 1000 * first.cpu / (first.count * mib));
    std::printf("steady state, %d replies%s: %.1f MiB/s of reply text, client CPU %.2f ms per MiB\n", steady.count,
                kind, steady.count * mib / steady.seconds, 1000 * steady.cpu / (steady.count * mib));
    if (!compressed) {
      firstPerMiB = first.cpu / (first.count * mib);
      steadyPerMiB = steady.cpu / (steady.count * mib);
    }
  }
  std::printf("AES-256-CBC decryption alone: %.2f ms per MiB into fresh outputs, %.2f ms per MiB into a warm one\n",
              1000 * cbcCold, 1000 * cbcWarm);
  bench::printFirstTouch();
  std::printf("ratio conn_first_vs_cbc_cold %.2f\n", firstPerMiB > 0 ? cbcCold / firstPerMiB : 0.0);
  std::printf("ratio conn_steady_vs_cbc_warm %.2f\n", steadyPerMiB > 0 ? cbcWarm / steadyPerMiB : 0.0);
  return 0;
}
