#pragma once

#include <uv.h>

#include <functional>
#include <mutex>
#include <vector>

// One worker thread's libuv loop with a thread-safe task queue. Made on the
// heap by the worker thread; runToEnd runs it and then deletes it.
class EventLoop {
 public:
  EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Any thread, while a holder keeps the loop alive.
  void post(std::function<void()> task);

  // Loop thread only.
  void acquire();
  void release();
  void runToEnd();
  uv_loop_t* loop() { return &loop_; }
  int keepAliveCount() const { return keepAlive_; }

 private:
  ~EventLoop() = default;
  static void drainTasks(uv_async_t* handle);
  static void freeWakeHandle(uv_handle_t* handle);
  void close();

  uv_loop_t loop_;
  std::vector<std::function<void()>> tasks_;
  std::mutex mutex_;
  uv_async_t* wake_;
  bool stopping_ = false;
  int keepAlive_ = 0;
};

// Lets a worker's creator wait until the worker's loop exists.
class StartLatch {
 public:
  void init();
  void set();
  void wait();
  void destroy();

 private:
  uv_mutex_t mutex_;
  uv_cond_t cond_;
  int flag_ = 0;
};
