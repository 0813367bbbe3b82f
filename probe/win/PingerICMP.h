#pragma once

#include "probe/win/IcmpEchoApi.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/win/WinHandle.h"
#include "probe/PingEcho.h"

class PingerICMPWaiter;
class RandomGenerator;

// One echo request, from its start until its reply event is signalled: the
// system owns the reply buffer until then, so the probe outlives its own
// time-out and the PingerICMP that sent it. Touched only on the wait thread.
class PingerICMPTask : public std::enable_shared_from_this<PingerICMPTask> {
 public:
  static constexpr WORD requestSize = 32;
  // The documented rule: one reply, its data, 8 bytes for an ICMP error, and
  // the system's status block.
  static constexpr DWORD replySize = sizeof(ICMP_ECHO_REPLY) + requestSize + 8 + sizeof(IO_STATUS_BLOCK);
  static constexpr DWORD echoTimeoutMs = 1000;

  PingerICMPTask(PingerICMPWaiter& owner, uint32_t address, std::shared_ptr<PingResultSink> sink);
  ~PingerICMPTask();
  PingerICMPTask(const PingerICMPTask&) = delete;
  PingerICMPTask& operator=(const PingerICMPTask&) = delete;

 private:
  friend class PingerICMPWaiter;
  void start();
  void failStart();
  void failLater();
  void onReply();
  void onTimeout();
  void report(bool replied, uint32_t latencyMs);
  void closeTimer();
  void silence();

  PingerICMPWaiter& owner_;
  std::list<std::shared_ptr<PingerICMPTask>>::iterator position_;
  HANDLE icmp_ = INVALID_HANDLE_VALUE;
  uint32_t address_;
  std::shared_ptr<PingResultSink> sink_;  // until the one report
  std::chrono::steady_clock::time_point sentAt_;
  WinHandle replyEvent_;
  WinHandle timer_;
  unsigned char request_[requestSize];
  void* reply_ = nullptr;  // process heap
  bool echoPending_ = false;  // the system still holds the reply buffer
};

// Sends the echo requests and waits for their completion on Windows handles,
// on a wait thread of its own. Each wait covers at most MAXIMUM_WAIT_OBJECTS
// handles (the wake event and two per probe); pings beyond that wait in a
// queue and start as others end.
class PingerICMP : public PingEcho {
 public:
  explicit PingerICMP(std::shared_ptr<RandomGenerator> random,
                      std::shared_ptr<IcmpEchoApi> api = systemIcmpEchoApi());
  // Ends every probe without a report and returns once the wait thread has
  // dropped their sinks, without waiting for the system. Echo requests it still
  // holds stay with the wait thread, which frees each buffer when the system
  // gives it back and then ends; one never given back lives until the process
  // ends. Never called from inside one of its own reports.
  ~PingerICMP() override;
  PingerICMP(const PingerICMP&) = delete;
  PingerICMP& operator=(const PingerICMP&) = delete;

  void pingAsync(uint32_t address, std::shared_ptr<PingResultSink> sink) override;  // any thread

 private:
  PingerICMPWaiter* waiter_;  // deletes itself on its thread once stopped and drained
};

// The wait thread and everything it touches. Made by a PingerICMP and left to
// itself by its destructor.
class PingerICMPWaiter {
 public:
  PingerICMPWaiter(std::shared_ptr<RandomGenerator> random, std::shared_ptr<IcmpEchoApi> api);
  PingerICMPWaiter(const PingerICMPWaiter&) = delete;
  PingerICMPWaiter& operator=(const PingerICMPWaiter&) = delete;

  void post(std::function<void()> task);  // any thread

  // Wait thread.
  void ping(uint32_t address, std::shared_ptr<PingResultSink> sink);
  void addHandle(HANDLE handle, std::function<void()> callback);
  void removeHandle(HANDLE handle);
  void onStop();

  void threadMain();

 private:
  friend class PingerICMPTask;
  using TaskList = std::list<std::shared_ptr<PingerICMPTask>>;
  struct Waiting {
    uint32_t address;
    std::shared_ptr<PingResultSink> sink;
  };

  void startWaiting();
  void removeTask(TaskList::iterator position);

  std::shared_ptr<RandomGenerator> random_;
  std::shared_ptr<IcmpEchoApi> api_;
  TaskList tasks_;  // newest first
  std::deque<Waiting> waiting_;  // no room in the wait yet
  bool stopping_ = false;
  std::mutex mutex_;
  std::vector<std::function<void()>> queue_;  // guarded by mutex_
  WinHandle wake_;
  std::map<HANDLE, std::function<void()>> handles_;
};
