#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>

#include "core/EventLoop.h"
#include "service/NameLookup.h"
#include "tests/support/LoopThread.h"

namespace {

// Lookups started back to back whose resolver answers at once: each lookup's
// thread may end before its creator has let go of it, and the thread started
// next must still run as started (the threads runtime recycles what an ended
// thread leaves behind).
TEST(NameLookupTest, BackToBackLookupsThatEndAtOnceAllAnswer) {
  const int kLookups = 3000;
  std::mutex mutex;
  std::condition_variable changed;
  int answered = 0;
  int wrong = 0;
  std::list<std::unique_ptr<NameLookup>> lookups;
  {
    LoopThread worker;
    EventLoop& loop = worker.loop();
    loop.post([&] {
      for (int i = 0; i < kLookups; ++i) {
        auto position = lookups.insert(lookups.end(), nullptr);
        *position = std::make_unique<NameLookup>(
            loop, [](const std::string& host) { return uint32_t(host.size()); }, std::string(i % 7 + 1, 'h'),
            [&, position, expected = uint32_t(i % 7 + 1)](uint32_t address) {
              lookups.erase(position);
              std::lock_guard<std::mutex> lock(mutex);
              ++answered;
              if (address != expected) ++wrong;
              changed.notify_all();
            });
      }
    });
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return answered == kLookups; })) << answered;
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
