#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The main thread's task queue and loop for a window that lives before the
// dispatcher exists. Every party that still needs the loop holds it; run
// returns once none is left.
class UiTaskQueue {
 public:
  // What wakes the loop. post sets it and run resets it when it takes the
  // tasks, both under the queue's mutex, so no wake-up is lost.
  class Signal {
   public:
    virtual ~Signal() = default;
    virtual void set() = 0;
    virtual void reset() = 0;
    // Blocks until set, serving meanwhile whatever else the loop thread owes
    // (window messages); may also return early without being set.
    virtual void wait() = 0;
  };

  explicit UiTaskQueue(std::unique_ptr<Signal> signal);
  // Every posted task must have run: fatal 56 otherwise.
  ~UiTaskQueue();
  UiTaskQueue(const UiTaskQueue&) = delete;
  UiTaskQueue& operator=(const UiTaskQueue&) = delete;

  // Any thread.
  void post(std::function<void()> task);

  // Loop thread only.
  void hold() { ++holders_; }
  void release() { --holders_; }
  int holders() const { return holders_; }
  // Runs the posted tasks in order until no holder is left. A count that went
  // below zero (a party let go twice) ends the loop too.
  void run();

 private:
  std::unique_ptr<Signal> signal_;
  std::mutex mutex_;
  std::vector<std::function<void()>> tasks_;
  int holders_ = 0;
};

// A signal for a loop thread that has no windows to serve.
std::unique_ptr<UiTaskQueue::Signal> makeConditionSignal();
