#pragma once

#include <cstddef>

// While an object lives, every operator new of at least `bytes` throws
// std::bad_alloc, on any thread: a size a peer announces that the process
// cannot hold, without the test needing that much memory. A test program
// that uses it links FailingAllocation.cpp, which replaces the global
// operator new and delete.
class LargeAllocationsFail {
 public:
  explicit LargeAllocationsFail(size_t bytes);
  ~LargeAllocationsFail();
  LargeAllocationsFail(const LargeAllocationsFail&) = delete;
  LargeAllocationsFail& operator=(const LargeAllocationsFail&) = delete;
};
