// Test-only replacement of the global operator new, preloaded into a Python process, that
// fails one chosen allocation, so every entry point can be driven through its
// out-of-memory paths. Python arms it through the two C functions below.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> countdown{-1};  // allocations left before the failing one; -1: none fails
std::atomic<long> made{0};

void* allocate(std::size_t size, std::size_t alignment = 0) noexcept {
  made.fetch_add(1, std::memory_order_relaxed);
  long left = countdown.load(std::memory_order_relaxed);
  if (left >= 0) {
    countdown.store(left - 1, std::memory_order_relaxed);
    if (left == 0) return nullptr;
  }
  if (size == 0) size = 1;
  if (alignment > alignof(std::max_align_t)) {
    return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  }
  return std::malloc(size);
}

void* allocate_or_throw(std::size_t size, std::size_t alignment = 0) {
  if (void* p = allocate(size, alignment)) return p;
  throw std::bad_alloc();
}

}  // namespace

extern "C" {
// The allocation after the next `n` fails; a negative `n` disarms.
__attribute__((visibility("default"))) void ruvo_fail_new_after(long n) {
  countdown.store(n, std::memory_order_relaxed);
}
// Allocations made so far.
__attribute__((visibility("default"))) long ruvo_new_count() {
  return made.load(std::memory_order_relaxed);
}
}

void* operator new(std::size_t size) {
  return allocate_or_throw(size);
}
void* operator new[](std::size_t size) {
  return allocate_or_throw(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t al) {
  return allocate_or_throw(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al) {
  return allocate_or_throw(size, static_cast<std::size_t>(al));
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
