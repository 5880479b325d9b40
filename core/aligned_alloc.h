#pragma once

// Aligned host memory: the allocation layer behind every Buffer.
//
// aligned_malloc(size, alignment) returns an uninitialised block of at least
// `size` bytes aligned to `alignment` (a power of two), or null when the
// request cannot be met; aligned_free(block) releases a block from
// aligned_malloc and ignores null. Every block must be released exactly once,
// by aligned_free only.
//
// The layer counts the blocks it has handed out and not yet taken back, so
// tests can see that each block is released once.

#include <cstddef>

namespace tolvane {

void* aligned_malloc(std::size_t size, std::size_t alignment) noexcept;
void aligned_free(void* block) noexcept;

// Blocks handed out by aligned_malloc and not yet released.
std::size_t live_aligned_blocks() noexcept;

}  // namespace tolvane
