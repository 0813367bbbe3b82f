#include "core/UiTaskQueue.h"

#include <condition_variable>
#include <utility>

#include "core/FatalError.h"

UiTaskQueue::UiTaskQueue(std::unique_ptr<Signal> signal) : signal_(std::move(signal)) {}

UiTaskQueue::~UiTaskQueue() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!tasks_.empty()) fatalError(56);
}

void UiTaskQueue::post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(std::move(task));
  signal_->set();
}

void UiTaskQueue::run() {
  while (holders_ > 0) {
    signal_->wait();
    std::vector<std::function<void()>> taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      taken.swap(tasks_);
      signal_->reset();
    }
    for (auto& task : taken) {
      task();
      task = nullptr;
    }
  }
}

namespace {

class ConditionSignal : public UiTaskQueue::Signal {
 public:
  void set() override {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    cond_.notify_one();
  }
  void reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
  }
  void wait() override {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return signalled_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool signalled_ = false;
};

}  // namespace

std::unique_ptr<UiTaskQueue::Signal> makeConditionSignal() { return std::make_unique<ConditionSignal>(); }
