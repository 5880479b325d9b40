#include "core/aligned_alloc.h"

#include <atomic>
#include <cstdlib>

namespace tolvane {

namespace {

std::atomic<std::size_t> live_blocks{0};

}  // namespace

void* aligned_malloc(std::size_t size, std::size_t alignment) noexcept {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
  // std::aligned_alloc wants a size that is a multiple of the alignment.
  std::size_t rounded = 0;
  if (__builtin_add_overflow(size, alignment - 1, &rounded)) return nullptr;
  rounded &= ~(alignment - 1);
  void* block = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
  if (block != nullptr) live_blocks.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void aligned_free(void* block) noexcept {
  if (block == nullptr) return;
  live_blocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

std::size_t live_aligned_blocks() noexcept { return live_blocks.load(std::memory_order_relaxed); }

}  // namespace tolvane
