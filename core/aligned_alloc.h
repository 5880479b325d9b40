#pragma once

// Aligned host memory: the allocation layer behind every Buffer.
//
// aligned_malloc(size, alignment) returns an uninitialised block of at least
// `size` bytes, rounded up to a multiple of `alignment` (a power of two) and
// aligned to it, or null when the request cannot be met. aligned_calloc does
// the same with every byte 0; fresh pages from the kernel are not written
// again. aligned_free(block) releases a block from either and ignores null.
// Every block must be released exactly once, by aligned_free only.
//
// Blocks of HUGE_PAGE_THRESHOLD bytes or more ask the kernel for transparent
// huge pages, which cuts the page faults of a first touch by 512.
//
// The layer counts the blocks it has handed out and not yet taken back, so
// tests can see that each block is released once.

#include <cstddef>

namespace tolvane {

inline constexpr std::size_t HUGE_PAGE_THRESHOLD = std::size_t{4} << 20U;

void* aligned_malloc(std::size_t size, std::size_t alignment) noexcept;
void* aligned_calloc(std::size_t size, std::size_t alignment) noexcept;
void aligned_free(void* block) noexcept;

// Blocks handed out and not yet released.
std::size_t live_aligned_blocks() noexcept;

}  // namespace tolvane
