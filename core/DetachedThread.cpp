#include "core/DetachedThread.h"

#include <memory>
#include <mutex>
#include <thread>
#include <utility>

void startDetachedThread(std::function<void()> work) {
  auto gate = std::make_shared<std::mutex>();
  std::unique_lock<std::mutex> detaching(*gate);
  std::thread([gate, work = std::move(work)] {
    { std::lock_guard<std::mutex> detached(*gate); }
    work();
  }).detach();
}
