#include "bridge/RateMeter.h"

#include <chrono>
#include <utility>

int64_t RateMeter::steadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

RateMeter::RateMeter(Clock now, int64_t windowSeconds) : now_(std::move(now)), window_(windowSeconds) {}

void RateMeter::add(uint64_t counter) {
  uint64_t delta = counter >= last_ ? counter - last_ : 0;
  sum_ += delta;
  samples_.push_back({delta, now_()});
  last_ = counter;
  trim();
}

void RateMeter::trim() {
  while (!samples_.empty()) {
    int64_t age = now_() - samples_.front().time;
    if (age <= window_ * 1000000000) return;
    sum_ -= samples_.front().delta;
    samples_.pop_front();
  }
}

uint64_t RateMeter::rate() {
  trim();
  return sum_ / static_cast<uint64_t>(window_);
}
