#pragma once

#include <memory>

#include "core/UiTaskQueue.h"

// The signal of a loop thread that owns windows: a manual-reset event waited
// on together with the thread's window input, which it dispatches.
std::unique_ptr<UiTaskQueue::Signal> makeMessageWaitSignal();
