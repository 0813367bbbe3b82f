#pragma once

#include <functional>

// Runs fn with fatalError turned into an exception and returns the code it
// raised, or -1 when it raised none. Only for code where unwinding is safe
// (no C frames between the call and fatalError).
int fatalCodeOf(const std::function<void()>& fn);
