#pragma once

#include "probe/win/IcmpEchoApi.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

// Plays the system's part in an echo: takes the reply buffer and the event,
// and later writes the whole buffer and signals the event from a thread of its
// own, as Windows does, then queues the completion APC to the thread that sent
// the echo (which runs only while that thread waits alertably). Before it
// writes, it checks that the buffer is still a live block of the process heap,
// the fence that catches a buffer freed while the system still owns it.
class FakeIcmpEchoApi : public IcmpEchoApi {
 public:
  struct Behaviour {
    bool createFails = false;
    bool sendFails = false;
    int completeAfterMs = 5;  // negative: not until release()
    bool withReply = true;    // false: the echo time-out, no reply in the buffer
    ULONG status = IP_SUCCESS;
  };
  struct Echo {
    HANDLE event;
    void* reply;
    DWORD replySize;
    IPAddr destination;
    std::vector<unsigned char> request;
    DWORD timeoutMs;
    std::chrono::steady_clock::time_point due;
    HANDLE sender = nullptr;  // the sending thread, owned by the fake
    bool completed = false;
  };

  explicit FakeIcmpEchoApi(Behaviour behaviour) : behaviour_(behaviour) {
    thread_ = std::thread([this] { run(); });
  }
  ~FakeIcmpEchoApi() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    for (auto& echo : echoes_) CloseHandle(echo.sender);
  }

  HANDLE createFile() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (behaviour_.createFails) return INVALID_HANDLE_VALUE;
    ++openIcmp_;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7000 + 4 * ++created_));
  }
  BOOL closeHandle(HANDLE) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --openIcmp_;
    }
    changed_.notify_all();
    return TRUE;
  }
  DWORD sendEcho2(HANDLE, HANDLE event, IPAddr destination, void* request, WORD requestSize, void* reply,
                  DWORD replySize, DWORD timeoutMs) override {
    if (behaviour_.sendFails) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    HANDLE sender = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &sender, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto* bytes = static_cast<const unsigned char*>(request);
      echoes_.push_back({event, reply, replySize, destination, std::vector<unsigned char>(bytes, bytes + requestSize),
                         timeoutMs, std::chrono::steady_clock::now() + std::chrono::milliseconds(behaviour_.completeAfterMs),
                         sender});
      size_t outstanding = 0;
      for (const auto& echo : echoes_) outstanding += !echo.completed;
      if (outstanding > maxOutstanding_) maxOutstanding_ = outstanding;
    }
    changed_.notify_all();
    SetLastError(ERROR_IO_PENDING);
    return 0;
  }
  DWORD parseReplies(void* reply, DWORD) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& echo : echoes_)
      if (echo.reply == reply && echo.completed) return behaviour_.withReply ? 1 : 0;
    return 0;
  }

  // The system gives back every echo it still holds, now.
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
      for (auto& echo : echoes_) echo.due = std::chrono::steady_clock::now();
    }
    changed_.notify_all();
  }
  bool waitIcmpHandlesClosed(int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return openIcmp_ == 0; });
  }
  std::vector<Echo> echoes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return echoes_;
  }
  bool waitSent(size_t n, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return echoes_.size() >= n; });
  }
  size_t completed() {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& echo : echoes_) n += echo.completed;
    return n;
  }
  size_t maxOutstanding() {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxOutstanding_;
  }
  int freedBeforeCompletion() {
    std::lock_guard<std::mutex> lock(mutex_);
    return freedBeforeCompletion_;
  }
  // Completion APCs queued to the sending threads, and those that have run.
  int apcsQueued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return apcsQueued_;
  }
  bool waitApcsRun(int n, int timeoutMs = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (apcsRun_->load() < n) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  int openIcmpHandles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return openIcmp_;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      Echo* next = nullptr;
      for (auto& echo : echoes_)
        if (!echo.completed && (behaviour_.completeAfterMs >= 0 || released_) && (!next || echo.due < next->due))
          next = &echo;
      if (!next) {
        changed_.wait(lock);
        continue;
      }
      if (std::chrono::steady_clock::now() < next->due) {
        changed_.wait_until(lock, next->due);
        continue;
      }
      complete(*next);
    }
  }
  void complete(Echo& echo) {
    if (!HeapValidate(GetProcessHeap(), 0, echo.reply)) {
      ++freedBeforeCompletion_;
    } else {
      auto* bytes = static_cast<unsigned char*>(echo.reply);
      std::memset(bytes, 0xA5, echo.replySize);
      if (behaviour_.withReply) {
        ICMP_ECHO_REPLY header = {};
        header.Address = echo.destination;
        header.Status = behaviour_.status;
        header.DataSize = static_cast<USHORT>(echo.request.size());
        header.Data = bytes + sizeof header;
        std::memcpy(bytes, &header, sizeof header);
        std::memcpy(bytes + sizeof header, echo.request.data(), echo.request.size());
      }
    }
    echo.completed = true;
    // The counter goes with the APC: the fake may be gone when it runs.
    auto* counter = new std::shared_ptr<std::atomic<int>>(apcsRun_);
    if (QueueUserAPC(&FakeIcmpEchoApi::apcRan, echo.sender, reinterpret_cast<ULONG_PTR>(counter)))
      ++apcsQueued_;
    else
      delete counter;
    SetEvent(echo.event);
  }
  static void CALLBACK apcRan(ULONG_PTR context) {
    auto* counter = reinterpret_cast<std::shared_ptr<std::atomic<int>>*>(context);
    ++**counter;
    delete counter;
  }

  Behaviour behaviour_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Echo> echoes_;
  size_t maxOutstanding_ = 0;
  int freedBeforeCompletion_ = 0;
  int created_ = 0;
  int openIcmp_ = 0;
  int apcsQueued_ = 0;
  std::shared_ptr<std::atomic<int>> apcsRun_ = std::make_shared<std::atomic<int>>(0);
  bool released_ = false;
  bool stop_ = false;
  std::thread thread_;
};
