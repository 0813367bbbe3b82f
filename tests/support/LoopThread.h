#pragma once

// A worker's loop for tests, as the channel, the downloads, the probes and
// the tunnel run theirs: started at construction, released and joined at
// destruction.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "core/EventLoop.h"

class LoopThread {
 public:
  LoopThread() {
    latch_.init();
    thread_ = std::thread([this] {
      loop_ = new EventLoop;
      loop_->acquire();
      latch_.set();
      loop_->runToEnd();  // deletes the loop once released
    });
    latch_.wait();
  }
  ~LoopThread() {
    loop_->post([this] { loop_->release(); });
    thread_.join();
    latch_.destroy();
  }
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  EventLoop& loop() { return *loop_; }

  // Runs task on the loop and returns when it has run.
  void run(std::function<void()> task) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    loop_->post([&] {
      task();
      std::lock_guard<std::mutex> lock(mutex);
      finished = true;
      done.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return finished; });
  }

 private:
  StartLatch latch_;
  std::thread thread_;
  EventLoop* loop_ = nullptr;
};
