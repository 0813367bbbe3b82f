#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/SavedConfig.h"

// Settings kept in memory for tests: what the store holds and every text that
// a save wrote. The test keeps the state; the SavedConfig owns the store.
struct SavedConfigStoreState {
  std::unique_ptr<std::string> stored;  // null: nothing can be read
  std::vector<std::string> writes;
  bool failWrites = false;
};

class MemorySavedConfigStore : public SavedConfigStore {
 public:
  explicit MemorySavedConfigStore(std::shared_ptr<SavedConfigStoreState> state) : state_(std::move(state)) {}
  std::unique_ptr<std::string> read() override {
    return state_->stored ? std::make_unique<std::string>(*state_->stored) : nullptr;
  }
  bool write(const std::string& text) override {
    state_->writes.push_back(text);
    if (state_->failWrites) return false;
    state_->stored = std::make_unique<std::string>(text);
    return true;
  }

 private:
  std::shared_ptr<SavedConfigStoreState> state_;
};

// A state whose store holds text, or nothing when text is null.
inline std::shared_ptr<SavedConfigStoreState> savedConfigStoreHolding(const char* text) {
  auto state = std::make_shared<SavedConfigStoreState>();
  if (text) state->stored = std::make_unique<std::string>(text);
  return state;
}
