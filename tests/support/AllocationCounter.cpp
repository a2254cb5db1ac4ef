#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_allocations{0};

void* Counted(std::size_t size) noexcept {
  ++g_allocations;
  return std::malloc(size ? size : 1);
}

void* CountedOrThrow(std::size_t size) {
  if (void* p = Counted(size)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace lumo_test {
long Allocations() { return g_allocations.load(); }
}  // namespace lumo_test

void* operator new(std::size_t size) { return CountedOrThrow(size); }
void* operator new[](std::size_t size) { return CountedOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Counted(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
