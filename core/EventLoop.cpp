#include "core/EventLoop.h"

#include "core/FatalError.h"

EventLoop::EventLoop() {
  if (uv_loop_init(&loop_) != 0) fatalError(132);
  wake_ = new uv_async_t;
  uv_async_init(&loop_, wake_, &EventLoop::drainTasks);
  wake_->data = this;
}

void EventLoop::post(std::function<void()> task) {
  // The wake handle is read under the mutex and cleared there when the loop
  // closes, so a post racing the loop's end never touches a freed handle; its
  // task is dropped, as nothing would run it.
  std::unique_lock<std::mutex> lock(mutex_);
  if (!wake_) {
    lock.unlock();
    return;
  }
  tasks_.push_back(std::move(task));
  uv_async_send(wake_);
}

void EventLoop::drainTasks(uv_async_t* handle) {
  auto* self = static_cast<EventLoop*>(handle->data);
  if (!self) return;
  std::vector<std::function<void()>> taken;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    taken.swap(self->tasks_);
  }
  for (auto& task : taken) task();
}

void EventLoop::acquire() { ++keepAlive_; }

void EventLoop::release() {
  if (keepAlive_ == 0) fatalError(136);
  if (--keepAlive_ == 0 && stopping_) {
    uv_async_t* wake;
    // Tasks still queued (posted in the batch that let the last holder go,
    // such as a failure a state reports on its way out) have nothing left to
    // act on: they are dropped like posts that come later.
    std::vector<std::function<void()>> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wake = wake_;
      wake_ = nullptr;
      dropped.swap(tasks_);
    }
    wake->data = nullptr;
    uv_close(reinterpret_cast<uv_handle_t*>(wake), &EventLoop::freeWakeHandle);
  }
}

void EventLoop::freeWakeHandle(uv_handle_t* handle) { delete reinterpret_cast<uv_async_t*>(handle); }

void EventLoop::runToEnd() {
  if (stopping_) fatalError(137);
  stopping_ = true;
  if (keepAlive_ == 0) {
    acquire();
    release();
  }
  if (uv_run(&loop_, UV_RUN_DEFAULT) != 0) fatalError(138);
  bool wakeLeft;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeLeft = wake_ != nullptr;
  }
  if (wakeLeft || keepAlive_ != 0) fatalError(139);
  close();
  delete this;
}

void EventLoop::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!tasks_.empty()) fatalError(134);
  }
  if (uv_loop_close(&loop_) != 0) fatalError(135);
}

void StartLatch::init() {
  uv_mutex_init(&mutex_);
  if (uv_cond_init(&cond_) != 0) fatalError(103);
  flag_ = 0;
}

void StartLatch::set() {
  uv_mutex_lock(&mutex_);
  flag_ = 1;
  uv_cond_broadcast(&cond_);
  uv_mutex_unlock(&mutex_);
}

void StartLatch::wait() {
  uv_mutex_lock(&mutex_);
  while (flag_ == 0) uv_cond_wait(&cond_, &mutex_);
  uv_mutex_unlock(&mutex_);
}

void StartLatch::destroy() {
  uv_cond_destroy(&cond_);
  uv_mutex_destroy(&mutex_);
}
