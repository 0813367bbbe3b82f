#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/PingerProbes.h"

namespace {

// Replies at once, on a thread of its own, with the address's last byte as
// the latency; 127.0.0.9 never answers in time.
class StandInEcho : public PingEcho {
 public:
  ~StandInEcho() override {
    for (std::thread& thread : threads_) thread.join();
  }
  void pingAsync(uint32_t address, std::shared_ptr<PingResultSink> sink) override {
    threads_.emplace_back([address, sink] {
      if ((address & 0xFF) == 9)
        sink->failed();
      else
        sink->replied(address & 0xFF);
    });
  }

 private:
  std::vector<std::thread> threads_;
};

class RecordingSink : public ServerProbeSink {
 public:
  void resolved(uint32_t address) override { add("resolved " + std::to_string(address)); }
  void unresolved() override { add("unresolved"); }
  void replied(uint32_t latencyMs) override { add("replied " + std::to_string(latencyMs)); }
  void failed() override { add("failed"); }

  std::vector<std::string> wait(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return reports_.size() >= count; });
    return reports_;
  }

 private:
  void add(const std::string& report) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(report);
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> reports_;
};

TEST(PingerProbesTest, EachSinkHearsTheResolutionAndTheEcho) {
  auto answering = std::make_shared<RecordingSink>();
  auto silent = std::make_shared<RecordingSink>();
  {
    PingerProbes probes(std::make_unique<Pinger>([] { return std::make_unique<StandInEcho>(); }));
    probes.ping("127.0.0.7", answering);
    probes.ping("127.0.0.9", silent);
    EXPECT_EQ(answering->wait(2), (std::vector<std::string>{"resolved 2130706439", "replied 7"}));
    EXPECT_EQ(silent->wait(2), (std::vector<std::string>{"resolved 2130706441", "failed"}));
  }
  EXPECT_EQ(answering.use_count(), 1) << "the Pinger let go of the sink";
}

}  // namespace
