#pragma once

// Aligned host memory: the allocation layer behind every Buffer.
//
// aligned_malloc(size, alignment) returns an uninitialised block of at least
// `size` bytes, rounded up to a multiple of `alignment` (a power of two) and
// aligned to it, or null when the request cannot be met. aligned_calloc does
// the same with every byte 0. Up to the alignment of std::max_align_t (16 on
// x86-64; Buffers ask for 8), the zeros come from calloc, which does not
// write fresh pages from the kernel again; a larger alignment, and every
// block on Windows, writes every byte. aligned_free(block) releases a block
// from either and ignores null. Every block must be released exactly once,
// by aligned_free only: on Windows the blocks come from _aligned_malloc,
// which free cannot release; elsewhere from malloc, calloc or posix_memalign.
//
// Blocks of HUGE_PAGE_THRESHOLD bytes or more ask the kernel for transparent
// huge pages, which cuts the page faults of a first touch by 512;
// advise_huge_pages asks the same for any block. Where the system has no
// such advice (MADV_HUGEPAGE), both do nothing.
//
// Builds with TOLVANE_COUNT_BLOCKS (the C++ tests') count the blocks handed
// out and not yet taken back, so tests can see that each block is released
// once; other builds spend no atomic operation on it.

#include <cstddef>

namespace tolvane {

inline constexpr std::size_t HUGE_PAGE_THRESHOLD = std::size_t{4} << 20U;

void* aligned_malloc(std::size_t size, std::size_t alignment) noexcept;
void* aligned_calloc(std::size_t size, std::size_t alignment) noexcept;
void aligned_free(void* block) noexcept;

// Asks for transparent huge pages over the whole huge pages inside the block.
void advise_huge_pages(void* block, std::size_t size) noexcept;

// Blocks handed out and not yet released (0 without TOLVANE_COUNT_BLOCKS).
std::size_t live_aligned_blocks() noexcept;

}  // namespace tolvane
