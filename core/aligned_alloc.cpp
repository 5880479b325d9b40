#include "core/aligned_alloc.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tolvane {

namespace {

#ifdef TOLVANE_COUNT_BLOCKS
std::atomic<std::size_t> live_blocks{0};
void count_blocks(int change) noexcept {
  live_blocks.fetch_add(static_cast<std::size_t>(change), std::memory_order_relaxed);
}
#else
void count_blocks(int /*change*/) noexcept {}
#endif

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20U;

void* allocate(std::size_t size, std::size_t alignment, bool zeroed) noexcept {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
  std::size_t rounded = 0;
  if (__builtin_add_overflow(size, alignment - 1, &rounded)) return nullptr;
  rounded &= ~(alignment - 1);
  if (rounded == 0) rounded = alignment;
  void* block = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    // malloc's own alignment suffices, and calloc skips pages the kernel
    // has just zeroed.
    block = zeroed ? std::calloc(1, rounded) : std::malloc(rounded);
  } else {
    block = std::aligned_alloc(alignment, rounded);
    if (block != nullptr && zeroed) std::memset(block, 0, rounded);
  }
  if (block == nullptr) return nullptr;
  if (rounded >= HUGE_PAGE_THRESHOLD) advise_huge_pages(block, rounded);
  count_blocks(1);
  return block;
}

}  // namespace

// Only the whole huge pages inside the block can be advised.
void advise_huge_pages(void* block, std::size_t size) noexcept {
  const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(block) % HUGE_PAGE;
  const std::size_t skip = misalignment == 0 ? 0 : HUGE_PAGE - misalignment;
  if (size <= skip) return;
  const std::size_t length = (size - skip) / HUGE_PAGE * HUGE_PAGE;
  if (length > 0) madvise(static_cast<char*>(block) + skip, length, MADV_HUGEPAGE);
}

void* aligned_malloc(std::size_t size, std::size_t alignment) noexcept {
  return allocate(size, alignment, false);
}

void* aligned_calloc(std::size_t size, std::size_t alignment) noexcept {
  return allocate(size, alignment, true);
}

void aligned_free(void* block) noexcept {
  if (block == nullptr) return;
  count_blocks(-1);
  std::free(block);
}

std::size_t live_aligned_blocks() noexcept {
#ifdef TOLVANE_COUNT_BLOCKS
  return live_blocks.load(std::memory_order_relaxed);
#else
  return 0;
#endif
}

}  // namespace tolvane
