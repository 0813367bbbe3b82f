#include "tests/service/FailingAllocation.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> failFrom{SIZE_MAX};

void* allocate(size_t size) noexcept {
  if (size >= failFrom.load(std::memory_order_relaxed)) return nullptr;
  return std::malloc(size ? size : 1);
}
}  // namespace

LargeAllocationsFail::LargeAllocationsFail(size_t bytes) { failFrom.store(bytes); }

LargeAllocationsFail::~LargeAllocationsFail() { failFrom.store(SIZE_MAX); }

// Every form that pairs with the plain one, so that allocation and release
// always meet (the sanitizers check that they do).
void* operator new(size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
