#include "tests/support/win/WatchedRun.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "core/app/win/MainDispatcher.h"

void runWatched(const std::shared_ptr<MainDispatcher>& dispatcher, std::chrono::seconds limit,
                std::function<void()> onStall) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::weak_ptr<MainDispatcher> weak = dispatcher;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (done.wait_for(lock, limit, [&] { return finished; })) return;
    if (auto running = weak.lock()) running->post(std::move(onStall));
  });
  dispatcher->run();
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  done.notify_all();
  watchdog.join();
}

void postAfter(const std::shared_ptr<MainDispatcher>& dispatcher, std::chrono::milliseconds delay,
               std::function<void()> action) {
  std::weak_ptr<MainDispatcher> weak = dispatcher;
  std::thread([weak, delay, action = std::move(action)] {
    std::this_thread::sleep_for(delay);
    if (auto running = weak.lock()) running->post(action);
  }).detach();
}
