#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "probe/PingSinks.h"

// Every report of a test's probes, with the thread each came on.
class ProbeLog {
 public:
  enum Kind { Resolved, Unresolved, Failed, Replied };
  struct Report {
    int server;
    Kind kind;
    uint32_t value;
    std::thread::id thread;
    std::chrono::steady_clock::time_point at;
  };

  void add(int server, Kind kind, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back({server, kind, value, std::this_thread::get_id(), std::chrono::steady_clock::now()});
    changed_.notify_all();
  }
  std::vector<Report> reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_.size();
  }
  // Waits until pred holds for the reports so far.
  bool waitUntil(const std::function<bool(const std::vector<Report>&)>& pred, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(reports_); });
  }
  bool waitForResults(size_t servers, int timeoutMs = 10000) {
    return waitUntil([servers](const std::vector<Report>& all) { return resultCount(all) >= servers; }, timeoutMs);
  }
  static size_t resultCount(const std::vector<Report>& all) {
    size_t n = 0;
    for (const auto& r : all) n += r.kind == Failed || r.kind == Replied;
    return n;
  }
  // The reports of one server, in order.
  std::vector<Report> of(int server) {
    std::vector<Report> out;
    for (const auto& r : reports())
      if (r.server == server) out.push_back(r);
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Report> reports_;
};

// One server's two sinks in one object, as the main controller makes them.
class RecordingSink : public PingDnsSink, public PingResultSink {
 public:
  RecordingSink(std::shared_ptr<ProbeLog> log, int server) : log_(std::move(log)), server_(server) {}
  void resolved(uint32_t address) override { log_->add(server_, ProbeLog::Resolved, address); }
  void unresolved() override { log_->add(server_, ProbeLog::Unresolved, 0); }
  void failed() override { log_->add(server_, ProbeLog::Failed, 0); }
  void replied(uint32_t latencyMs) override { log_->add(server_, ProbeLog::Replied, latencyMs); }

 private:
  std::shared_ptr<ProbeLog> log_;
  int server_;
};
