#pragma once

#include <chrono>
#include <functional>
#include <memory>

class MainDispatcher;

// Runs the dispatcher's loop to its end. A scenario that has not ended after
// limit gets onStall posted to the main thread once (it fails the test and
// closes the GUI's windows so the loop can end).
void runWatched(const std::shared_ptr<MainDispatcher>& dispatcher, std::chrono::seconds limit,
                std::function<void()> onStall);

// Posts action to the main thread after delay, as a GUI timer would; dropped
// when the dispatcher is gone by then.
void postAfter(const std::shared_ptr<MainDispatcher>& dispatcher, std::chrono::milliseconds delay,
               std::function<void()> action);
