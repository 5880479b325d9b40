#include "core/aligned_alloc.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/portable.h"

// Windows's C runtime has its own aligned allocation, whose blocks only
// _aligned_free may release; elsewhere the POSIX one, whose blocks free takes.
#if defined(_WIN32)
#include <malloc.h>
#define TOLVANE_WINDOWS_ALLOCATION 1
#endif

// Huge-page advice where the system has it (Linux's madvise); a hint only.
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif
#if defined(MADV_HUGEPAGE)
#define TOLVANE_HUGE_PAGE_ADVICE 1
#endif

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

void* allocate(std::size_t size, std::size_t alignment, bool zeroed) noexcept {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
  std::size_t rounded = 0;
  if (add_overflow(size, alignment - 1, &rounded)) return nullptr;
  rounded &= ~(alignment - 1);
  if (rounded == 0) rounded = alignment;
  void* block = nullptr;
#ifdef TOLVANE_WINDOWS_ALLOCATION
  block = _aligned_malloc(rounded, alignment);
  if (block != nullptr && zeroed) std::memset(block, 0, rounded);
#else
  if (alignment <= alignof(std::max_align_t)) {
    // malloc's own alignment suffices, and calloc skips pages the kernel
    // has just zeroed.
    block = zeroed ? std::calloc(1, rounded) : std::malloc(rounded);
  } else {
    if (posix_memalign(&block, alignment, rounded) != 0) block = nullptr;
    if (block != nullptr && zeroed) std::memset(block, 0, rounded);
  }
#endif
  if (block == nullptr) return nullptr;
  if (rounded >= HUGE_PAGE_THRESHOLD) advise_huge_pages(block, rounded);
  count_blocks(1);
  return block;
}

}  // namespace

// Only the whole huge pages inside the block can be advised.
void advise_huge_pages(void* block, std::size_t size) noexcept {
#ifdef TOLVANE_HUGE_PAGE_ADVICE
  constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20U;
  const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(block) % HUGE_PAGE;
  const std::size_t skip = misalignment == 0 ? 0 : HUGE_PAGE - misalignment;
  if (size <= skip) return;
  const std::size_t length = (size - skip) / HUGE_PAGE * HUGE_PAGE;
  if (length > 0) madvise(static_cast<char*>(block) + skip, length, MADV_HUGEPAGE);
#else
  static_cast<void>(block);
  static_cast<void>(size);
#endif
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
#ifdef TOLVANE_WINDOWS_ALLOCATION
  _aligned_free(block);
#else
  std::free(block);
#endif
}

std::size_t live_aligned_blocks() noexcept {
#ifdef TOLVANE_COUNT_BLOCKS
  return live_blocks.load(std::memory_order_relaxed);
#else
  return 0;
#endif
}

}  // namespace tolvane
