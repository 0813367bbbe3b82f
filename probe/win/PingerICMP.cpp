#include "probe/win/PingerICMP.h"

#include <future>
#include <thread>

#include "core/FatalError.h"
#include "core/RandomGenerator.h"
#include "probe/Pinger.h"

Pinger::Pinger(std::shared_ptr<RandomGenerator> random)
    : Pinger([random] { return std::unique_ptr<PingEcho>(new PingerICMP(random)); }) {}

PingerICMPTask::PingerICMPTask(PingerICMPWaiter& owner, uint32_t address, std::shared_ptr<PingResultSink> sink)
    : owner_(owner), address_(address), sink_(std::move(sink)) {}

PingerICMPTask::~PingerICMPTask() {
  if (icmp_ != INVALID_HANDLE_VALUE && !owner_.api_->closeHandle(icmp_)) fatalError(96);
  if (replyEvent_) owner_.removeHandle(replyEvent_.get());
  replyEvent_.reset();
  closeTimer();
  if (reply_) HeapFree(GetProcessHeap(), 0, reply_);
}

void PingerICMPTask::start() {
  icmp_ = owner_.api_->createFile();
  if (icmp_ == INVALID_HANDLE_VALUE) return failLater();
  replyEvent_ = WinHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr), 93);
  if (!replyEvent_) return failStart();
  timer_ = WinHandle(CreateWaitableTimerW(nullptr, TRUE, nullptr), 94);
  if (!timer_) return failStart();
  LARGE_INTEGER due;
  due.QuadPart = -10000000LL;  // one second from now, in 100 ns units
  if (!SetWaitableTimer(timer_.get(), &due, 0, nullptr, nullptr, FALSE)) return failStart();
  owner_.random_->random(request_, requestSize);
  reply_ = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, replySize);
  if (!reply_) return failStart();
  DWORD result = owner_.api_->sendEcho2(icmp_, replyEvent_.get(), htonl(address_), request_, requestSize, reply_, replySize,
                                        echoTimeoutMs);
  if (result != 0 || GetLastError() != ERROR_IO_PENDING) return failStart();
  sentAt_ = std::chrono::steady_clock::now();
  echoPending_ = true;
  std::weak_ptr<PingerICMPTask> weak = shared_from_this();
  owner_.addHandle(replyEvent_.get(), [weak] {
    if (auto self = weak.lock()) self->onReply();
  });
  owner_.addHandle(timer_.get(), [weak] {
    if (auto self = weak.lock()) self->onTimeout();
  });
}

void PingerICMPTask::failStart() {
  // Nothing is registered yet and no echo is pending.
  if (!replyEvent_.close()) fatalError(92);
  if (!timer_.close()) fatalError(95);
  failLater();
}

void PingerICMPTask::failLater() {
  std::weak_ptr<PingerICMPTask> weak = shared_from_this();
  owner_.post([weak] {
    if (auto self = weak.lock()) self->onTimeout();
  });
}

void PingerICMPTask::onReply() {
  echoPending_ = false;
  if (sink_) {
    const auto now = std::chrono::steady_clock::now();
    bool replied = false;
    if (owner_.api_->parseReplies(reply_, replySize) != 0) {
      const auto* reply = static_cast<const ICMP_ECHO_REPLY*>(reply_);
      replied = reply->Status == IP_SUCCESS;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - sentAt_).count();
    report(replied, static_cast<uint32_t>(ns / 1000000));
  }
  owner_.removeTask(position_);
}

void PingerICMPTask::onTimeout() {
  report(false, 0);
  if (echoPending_) {
    // The system may still write the reply: the probe stays until the reply
    // event says it is done, and reports nothing more.
    closeTimer();
    return;
  }
  owner_.removeTask(position_);
}

void PingerICMPTask::report(bool replied, uint32_t latencyMs) {
  std::shared_ptr<PingResultSink> sink = std::move(sink_);
  if (!sink) return;
  if (replied)
    sink->replied(latencyMs);
  else
    sink->failed();
}

void PingerICMPTask::closeTimer() {
  if (!timer_) return;
  owner_.removeHandle(timer_.get());
  timer_.reset();
}

void PingerICMPTask::silence() {
  sink_.reset();
  closeTimer();
}

PingerICMP::PingerICMP(std::shared_ptr<RandomGenerator> random, std::shared_ptr<IcmpEchoApi> api)
    : waiter_(new PingerICMPWaiter(std::move(random), std::move(api))) {
  PingerICMPWaiter* waiter = waiter_;
  std::thread([waiter] { waiter->threadMain(); }).detach();
}

PingerICMP::~PingerICMP() {
  // Waits for one pass of the wait thread, never for the system: the echoes it
  // still holds may take their whole time-out, or never come back, and this
  // runs on the GUI's way to a new server list. Once the stop has run no sink
  // is held and no report can come.
  PingerICMPWaiter* waiter = waiter_;
  auto stopped = std::make_shared<std::promise<void>>();
  std::future<void> done = stopped->get_future();
  waiter->post([waiter, stopped] {
    waiter->onStop();
    stopped->set_value();
  });
  done.wait();
}

void PingerICMP::pingAsync(uint32_t address, std::shared_ptr<PingResultSink> sink) {
  PingerICMPWaiter* waiter = waiter_;
  waiter->post([waiter, address, sink = std::move(sink)]() mutable { waiter->ping(address, std::move(sink)); });
}

PingerICMPWaiter::PingerICMPWaiter(std::shared_ptr<RandomGenerator> random, std::shared_ptr<IcmpEchoApi> api)
    : random_(std::move(random)), api_(std::move(api)) {
  wake_ = WinHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr), 89);
  if (!wake_) fatalError(25);
  addHandle(wake_.get(), [this] {
    if (!ResetEvent(wake_.get())) fatalError(39);
  });
}

void PingerICMPWaiter::post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(task));
  if (!SetEvent(wake_.get())) fatalError(43);
}

void PingerICMPWaiter::addHandle(HANDLE handle, std::function<void()> callback) {
  if (!handles_.emplace(handle, std::move(callback)).second) fatalError(57);
}

void PingerICMPWaiter::removeHandle(HANDLE handle) {
  if (handles_.erase(handle) == 0) fatalError(17);
}

void PingerICMPWaiter::ping(uint32_t address, std::shared_ptr<PingResultSink> sink) {
  if (stopping_) return;
  waiting_.push_back({address, std::move(sink)});
  startWaiting();
}

void PingerICMPWaiter::startWaiting() {
  while (!waiting_.empty() && handles_.size() + 2 <= MAXIMUM_WAIT_OBJECTS) {
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    auto task = std::make_shared<PingerICMPTask>(*this, next.address, std::move(next.sink));
    task->position_ = tasks_.insert(tasks_.begin(), task);
    task->start();
  }
}

void PingerICMPWaiter::removeTask(TaskList::iterator position) {
  std::shared_ptr<PingerICMPTask> task = std::move(*position);
  tasks_.erase(position);
  task.reset();
  startWaiting();
}

void PingerICMPWaiter::onStop() {
  stopping_ = true;
  waiting_.clear();
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    if ((*it)->echoPending_) {
      (*it)->silence();
      ++it;
    } else {
      std::shared_ptr<PingerICMPTask> task = std::move(*it);
      it = tasks_.erase(it);
    }
  }
  removeHandle(wake_.get());
}

void PingerICMPWaiter::threadMain() {
  std::vector<HANDLE> list;
  while (!handles_.empty()) {
    std::vector<std::function<void()>> taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      taken.swap(queue_);
    }
    for (auto& task : taken) task();
    taken.clear();
    if (handles_.empty()) break;

    list.clear();
    for (const auto& entry : handles_) list.push_back(entry.first);
    const DWORD count = static_cast<DWORD>(list.size());
    // Alertable: each echo's completion APC comes to this thread, which sent it.
    const DWORD result = WaitForMultipleObjectsEx(count, list.data(), FALSE, INFINITE, TRUE);
    if (result == WAIT_IO_COMPLETION) continue;
    if (result >= WAIT_OBJECT_0 + count) fatalError(65);
    auto found = handles_.find(list[result - WAIT_OBJECT_0]);
    if (found == handles_.end()) fatalError(59);
    // A copy: the callback may remove its own entry.
    std::function<void()> callback = found->second;
    callback();
  }
  // An APC of the last echoes may still be queued: it runs before the thread
  // ends, so the system frees what it keeps for it.
  while (SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {
  }
  // Stopped, and the system has given back every buffer. A probe's deferred
  // failure may have been queued in the pass that stopped: it has nothing left
  // to report to.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
  }
  if (!tasks_.empty()) fatalError(77);
  delete this;
}
