#pragma once

#include <functional>

// Runs work on a thread of its own that nobody joins: for blocking calls that
// cannot be cancelled and that their caller may walk away from. work starts
// only once its thread is detached, as winpthreads recycles the record of an
// ended thread that is detached while that thread is still on its way out,
// and the next thread started gets it. std::system_error when no thread
// starts; work is then dropped unrun.
void startDetachedThread(std::function<void()> work);
