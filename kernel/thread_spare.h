// Buffers kept per thread from one certification to the next, so a steady stream of
// certifications allocates none of them.
#pragma once

#include <cstddef>
#include <utility>

namespace ruvo {

// Lends the thread's spare `T` (one per `Slot`) for a scope and takes it back cleared. A
// nested user on the same thread, such as domain code that certifies again from a
// callback, finds no spare and gets a fresh one, so no two users ever share a buffer.
// `T` needs clear() and capacity(); a buffer grown past `kKeep` is released, not kept.
template <class T, int Slot, std::size_t kKeep = 4096>
class ThreadSpare {
 public:
  ThreadSpare() : home_(&spare()), value_(std::move(*home_)) {}
  ThreadSpare(const ThreadSpare&) = delete;
  ThreadSpare& operator=(const ThreadSpare&) = delete;
  ~ThreadSpare() {
    // Clearing may release objects whose release runs code that certifies again.
    value_.clear();
    if (value_.capacity() <= kKeep) *home_ = std::move(value_);
  }

  T& operator*() noexcept { return value_; }
  T* operator->() noexcept { return &value_; }

 private:
  static T& spare() {
    thread_local T kept;
    return kept;
  }
  T* home_;  // the thread's spare, looked up once: each lookup is a call in a shared library
  T value_;
};

}  // namespace ruvo
