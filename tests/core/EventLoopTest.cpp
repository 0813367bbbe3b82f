#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/EventLoop.h"
#include "core/FatalError.h"
#include "tests/support/FatalTrap.h"

namespace {

// The worker shape every worker class follows: the constructor waits on the
// latch until the loop exists, the destructor posts the stop task and joins.
class TestWorker {
 public:
  explicit TestWorker(std::function<void(EventLoop*)> first = {}) : first_(std::move(first)) {
    latch_.init();
    thread_ = std::thread([this] { body(); });
    latch_.wait();
  }
  ~TestWorker() {
    loop_->post([this] { stop(); });
    thread_.join();
    latch_.destroy();
  }
  EventLoop* loop() { return loop_; }
  std::function<void()> onStop;

 private:
  void body() {
    loop_ = new EventLoop;
    loop_->acquire();
    if (first_) first_(loop_);
    latch_.set();
    loop_->runToEnd();
  }
  void stop() {
    if (onStop) onStop();
    loop_->release();
  }
  std::function<void(EventLoop*)> first_;
  StartLatch latch_;
  std::thread thread_;
  EventLoop* loop_ = nullptr;
};

TEST(EventLoopTest, TasksPostedBeforeTheLoopRunsComeFirstInOrder) {
  std::vector<int> order;
  {
    TestWorker worker([&](EventLoop* loop) {
      loop->post([&] { order.push_back(1); });
      loop->post([&] { order.push_back(2); });
    });
    worker.loop()->post([&] { order.push_back(3); });
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(EventLoopTest, ATaskPostedByATaskRunsInALaterBatch) {
  std::vector<char> order;
  StartLatch done;
  done.init();
  {
    TestWorker worker([&](EventLoop* loop) {
      // A and C are queued together; B, posted while A runs, must wait for C.
      loop->post([&, loop] {
        order.push_back('A');
        loop->post([&] {
          order.push_back('B');
          done.set();
        });
      });
      loop->post([&] { order.push_back('C'); });
    });
    done.wait();  // the stop task must be the last one posted
  }
  done.destroy();
  EXPECT_EQ(order, (std::vector<char>{'A', 'C', 'B'}));
}

TEST(EventLoopTest, PostsFromManyThreadsAllRunInEachThreadsOrder) {
  constexpr int kThreads = 8, kTasks = 500;
  std::vector<std::vector<int>> seen(kThreads);  // touched on the loop thread only
  std::atomic<int> ran{0};
  {
    TestWorker worker;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
      posters.emplace_back([&, t] {
        for (int n = 0; n < kTasks; ++n)
          worker.loop()->post([&, t, n] {
            seen[t].push_back(n);
            ++ran;
          });
      });
    for (auto& poster : posters) poster.join();
  }
  EXPECT_EQ(ran.load(), kThreads * kTasks);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kTasks));
    for (int n = 0; n < kTasks; ++n) ASSERT_EQ(seen[t][n], n);
  }
}

// A state-like holder: an open timer and a hold on the loop, both given up by
// its destructor, as the workers' states do.
struct TimerHolder {
  explicit TimerHolder(EventLoop* loop) : loop_(loop) {
    loop_->acquire();
    timer_ = new uv_timer_t;
    uv_timer_init(loop_->loop(), timer_);
    uv_timer_start(timer_, [](uv_timer_t*) {}, 60000, 0);
  }
  ~TimerHolder() {
    uv_close(reinterpret_cast<uv_handle_t*>(timer_), [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
    loop_->release();
  }
  EventLoop* loop_;
  uv_timer_t* timer_;
};

TEST(EventLoopTest, StopWithOpenHandlesEndsOnceTheyAreClosed) {
  TimerHolder* holder = nullptr;
  auto started = std::chrono::steady_clock::now();
  {
    TestWorker worker([&](EventLoop* loop) { holder = new TimerHolder(loop); });
    worker.onStop = [&] {
      delete holder;
      holder = nullptr;
    };
  }
  EXPECT_EQ(holder, nullptr);
  // The pending 60 s timer must not keep the loop alive once closed.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST(EventLoopTest, AHoldOutlivingTheStopTaskKeepsTheLoopUntilReleased) {
  std::vector<int> order;
  {
    TestWorker worker;
    EventLoop* loop = worker.loop();
    loop->post([&, loop] {
      loop->acquire();  // a state still busy when the owner stops
      uv_timer_t* timer = new uv_timer_t;
      uv_timer_init(loop->loop(), timer);
      timer->data = new std::function<void()>([&, loop, timer] {
        order.push_back(2);
        uv_close(reinterpret_cast<uv_handle_t*>(timer), [](uv_handle_t* h) {
          delete static_cast<std::function<void()>*>(h->data);
          delete reinterpret_cast<uv_timer_t*>(h);
        });
        loop->release();
      });
      uv_timer_start(timer, [](uv_timer_t* t) { (*static_cast<std::function<void()>*>(t->data))(); }, 50, 0);
    });
    worker.onStop = [&] { order.push_back(1); };
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(EventLoopTest, RunToEndWithoutHoldsReturnsAtOnce) {
  auto started = std::chrono::steady_clock::now();
  std::thread thread([] {
    EventLoop* loop = new EventLoop;
    loop->runToEnd();  // closes the wake handle itself and deletes the loop
  });
  thread.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(EventLoopTest, ReleaseWithoutHoldIsFatal136) {
  EventLoop* loop = new EventLoop;
  EXPECT_EQ(fatalCodeOf([&] { loop->release(); }), 136);
  loop->runToEnd();
}

TEST(EventLoopTest, TasksQueuedBehindTheLastReleaseAreDroppedNotRun) {
  // The last holder lets go from inside a batch that still has a task queued
  // behind it (a state reporting a failure on its way out): the loop ends and
  // the task is destroyed without running.
  bool ran = false;
  auto destroyed = std::make_shared<int>(0);
  std::weak_ptr<int> watch = destroyed;
  std::thread thread([&] {
    EventLoop* loop = new EventLoop;
    loop->acquire();
    loop->post([&, loop, held = std::move(destroyed)]() mutable {
      loop->post([&ran, held] { ran = true; });
      held.reset();
      loop->release();
    });
    loop->runToEnd();
  });
  thread.join();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(watch.expired());
}

TEST(StartLatchTest, SetReleasesEveryWaiter) {
  StartLatch latch;
  latch.init();
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      latch.wait();
      ++released;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(released.load(), 0);
  latch.set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 4);
  latch.wait();  // already set: returns at once
  latch.destroy();
}

}  // namespace
