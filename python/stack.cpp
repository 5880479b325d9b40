#include "python/stack.h"

#include <cstdint>

#if defined(_WIN32) && __has_include(<windows.h>)
#include <windows.h>
#define TOLVANE_STACK_BOUNDS_WINDOWS 1
#elif __has_include(<pthread.h>)
#include <pthread.h>
#if defined(__GLIBC__) || defined(__BIONIC__)
#define TOLVANE_STACK_BOUNDS_GETATTR_NP 1
#elif defined(__APPLE__)
#define TOLVANE_STACK_BOUNDS_STACKADDR_NP 1
#endif
#endif

namespace tolvane::python {

namespace {

// The lowest usable address of the calling thread's stack (stacks grow down
// on every platform the module builds for) and its size; zero where unknown.
struct StackBounds {
  std::uintptr_t low = 0;
  std::size_t size = 0;
};

StackBounds find_stack_bounds() noexcept {
  StackBounds bounds;
#if defined(TOLVANE_STACK_BOUNDS_WINDOWS)
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  bounds = {static_cast<std::uintptr_t>(low), static_cast<std::size_t>(high - low)};
#elif defined(TOLVANE_STACK_BOUNDS_GETATTR_NP)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* address = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &address, &size) == 0) {
      bounds = {reinterpret_cast<std::uintptr_t>(address), size};
    }
    pthread_attr_destroy(&attr);
  }
#elif defined(TOLVANE_STACK_BOUNDS_STACKADDR_NP)
  const std::size_t size = pthread_get_stacksize_np(pthread_self());
  const auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
  bounds = {high - size, size};
#endif
  return bounds;
}

}  // namespace

bool stack_nearly_exhausted() noexcept {
  // Found once per thread: the main thread's takes a read of the process's
  // memory map.
  thread_local const StackBounds bounds = find_stack_bounds();
  if (bounds.size == 0) return false;
  const std::size_t margin = bounds.size / 4 < STACK_MARGIN ? bounds.size / 4 : STACK_MARGIN;
  char here = 0;
  const auto address = reinterpret_cast<std::uintptr_t>(&here);
  // An address outside the stack (a sanitizer's frames on the heap) says
  // nothing of it.
  return address >= bounds.low && address < bounds.low + margin;
}

}  // namespace tolvane::python
