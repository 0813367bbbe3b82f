#pragma once

#include <cstdint>
#include <deque>
#include <functional>

// Bytes per second over a sliding window, fed with the absolute counters the
// tunnel reports. Copyable: the connect operation's meters are taken over as
// they are. One thread at a time.
class RateMeter {
 public:
  // Steady-clock nanoseconds; tests give their own clock.
  using Clock = std::function<int64_t()>;
  static int64_t steadyNow();

  explicit RateMeter(Clock now = steadyNow, int64_t windowSeconds = 3);

  // A counter below the last one is a restarted count (OpenVPN reconnecting
  // inside one tunnel): it adds nothing and becomes the new base.
  void add(uint64_t counter);
  // Drops the samples older than the window.
  void trim();

  uint64_t total() const { return last_; }
  // Trims, then the window's bytes divided by its length.
  uint64_t rate();

 private:
  struct Sample {
    uint64_t delta;
    int64_t time;
  };
  Clock now_;
  uint64_t last_ = 0;
  uint64_t sum_ = 0;
  std::deque<Sample> samples_;
  int64_t window_;
};
