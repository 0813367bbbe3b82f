#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/ConnReplySink.h"

// The states a ConnThread reported, in order, with their times.
class StateLog {
 public:
  void add(int state) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back({state, std::chrono::steady_clock::now()});
    changed_.notify_all();
  }
  // Waits until state has been reported count times in all.
  bool waitFor(int state, int count = 1, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return countLocked(state) >= count; });
  }
  std::vector<int> ids() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int> out;
    for (const auto& entry : entries_) out.push_back(entry.state);
    return out;
  }
  // Milliseconds between the first report of from and the next report of to after it.
  long long msBetween(int from, int to) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].state != from) continue;
      for (size_t j = i + 1; j < entries_.size(); ++j)
        if (entries_[j].state == to)
          return std::chrono::duration_cast<std::chrono::milliseconds>(entries_[j].at - entries_[i].at).count();
      break;
    }
    return -1;
  }

 private:
  struct Entry {
    int state;
    std::chrono::steady_clock::time_point at;
  };
  int countLocked(int state) const {
    int n = 0;
    for (const auto& entry : entries_) n += entry.state == state;
    return n;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;
};

// Every sink outcome of a test, in the order they happened.
class OutcomeLog {
 public:
  struct Outcome {
    int tag;
    bool failed;
    std::string text;
  };
  void add(Outcome outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(std::move(outcome));
    changed_.notify_all();
  }
  bool waitCount(size_t count, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return outcomes_.size() >= count; });
  }
  std::vector<Outcome> all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Outcome> outcomes_;
};

class LoggingSink : public ConnReplySink {
 public:
  LoggingSink(OutcomeLog& log, int tag) : log_(log), tag_(tag) {}
  void onFailure() override { log_.add({tag_, true, std::string()}); }
  void onReply(std::string text) override { log_.add({tag_, false, std::move(text)}); }

 private:
  OutcomeLog& log_;
  int tag_;
};

// The stand-in backend's deterministic reply bytes.
inline std::string patternBytes(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(0x41 + ((i % 416) * 7) % 26);
  return out;
}
