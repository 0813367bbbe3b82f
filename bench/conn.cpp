// Round trips per second and reply throughput of the backend channel over
// loopback, against the stand-in backend.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

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

  for (const bool compressed : {false, true}) {
    for (int i = 0; i < replies; ++i)
      backend.onRequest("{\"size\":" + std::to_string(replySize) + (compressed ? ",\"compress\":true}" : "}"));
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < replies; ++i) {
      if (roundTrip(conn, "{}") != replySize) {
        std::fprintf(stderr, "conn_bench: reply %d failed\n", i);
        return 1;
      }
    }
    elapsed = secondsSince(start);
    std::printf("replies%s: %d of %d bytes in %.3f s = %.1f MiB/s of reply text\n", compressed ? " (compressed)" : "",
                replies, replySize, elapsed, replies * (replySize / 1048576.0) / elapsed);
  }
  return 0;
}
