#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "service/NameLookup.h"

// A name resolver that blocks until the gate opens, as the system's can for
// many seconds, then answers with one address. The lookup threads hold the
// gate's state by value: they may outlive the objects of a test.
class ResolverGate {
 public:
  NameResolver resolver(uint32_t address) const {
    std::shared_ptr<State> state = state_;
    return [state, address](const std::string&) {
      std::unique_lock<std::mutex> lock(state->mutex);
      ++state->entered;
      state->changed.notify_all();
      state->changed.wait(lock, [&] { return state->open; });
      ++state->returned;
      state->changed.notify_all();
      return address;
    };
  }
  // Until count lookups are blocked in the resolver (or have passed it).
  bool waitEntered(int count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->entered >= count; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->open = true;
    state_->changed.notify_all();
  }
  // Opens the gate and waits until every lookup that entered has answered.
  bool openAndDrain(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    open();
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->returned == state_->entered; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;
    int returned = 0;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};
