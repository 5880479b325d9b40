#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/aligned_alloc.h"
#include "core/storage.h"
#include "test_helpers.h"

namespace tolvane {
namespace {

bool aligned8(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 8 == 0; }

TEST(Storage, LazyThenAllocated) {
  Storage s(6, Dtype::FLOAT32, Device::CPU, false);
  EXPECT_EQ(s.nbytes(), 24u);
  EXPECT_FALSE(s.allocated());
  EXPECT_EQ(s.data(), nullptr);
  s.ensure_allocated();
  ASSERT_TRUE(s.allocated());
  void* data = s.data();
  ASSERT_NE(data, nullptr);
  EXPECT_TRUE(aligned8(data));
  s.ensure_allocated();
  EXPECT_EQ(s.data(), data);
}

TEST(Storage, BufferIsRoundedUpToEightBytes) {
  Storage s(3, Dtype::INT32, Device::CPU, true);
  ASSERT_NE(s.buffer(), nullptr);
  EXPECT_EQ(s.buffer()->size(), 12u);
  EXPECT_TRUE(aligned8(s.data()));
  // The whole rounded block is ours: the sanitizer and valgrind runs check it.
  std::memset(s.data(), 0xAB, 16);
}

TEST(Storage, ZeroBytes) {
  Storage with_buffer(0, Dtype::FLOAT64, Device::CPU, true);
  EXPECT_NE(with_buffer.buffer(), nullptr);
  EXPECT_TRUE(with_buffer.allocated());
  EXPECT_EQ(with_buffer.data(), nullptr);
  EXPECT_EQ(with_buffer.nbytes(), 0u);

  Storage without(0, Dtype::FLOAT64, Device::CPU, false);
  EXPECT_TRUE(without.allocated());
  without.ensure_allocated();
  EXPECT_EQ(without.buffer(), nullptr);
}

TEST(Storage, OnlyCpuHoldsMemory) {
  Storage lazy(4, Dtype::FLOAT32, Device::CUDA, false);
  EXPECT_FALSE(lazy.allocated());
  expect_throw<std::runtime_error>([&] { lazy.ensure_allocated(); },
                                   "Buffer: only CPU device is implemented");
  EXPECT_FALSE(lazy.allocated());
  EXPECT_EQ(lazy.buffer(), nullptr);
  // The device is checked before the size.
  expect_throw<std::runtime_error>([] { Storage(0, Dtype::FLOAT32, Device::HIP, true); },
                                   "Buffer: only CPU device is implemented");
  // Zero bytes on another device need no Buffer and count as allocated.
  Storage empty(0, Dtype::FLOAT32, Device::HIP, false);
  empty.ensure_allocated();
  EXPECT_TRUE(empty.allocated());
}

TEST(Storage, UnknownDtype) {
  Storage s(2, static_cast<Dtype>(7), Device::CPU, false);
  expect_throw<std::invalid_argument>([&] { s.nbytes(); }, "Unsupported Dtype");
  expect_throw<std::invalid_argument>([&] { s.allocated(); }, "Unsupported Dtype");
  expect_throw<std::invalid_argument>([&] { s.ensure_allocated(); }, "Unsupported Dtype");
  expect_throw<std::invalid_argument>([] { Storage(2, static_cast<Dtype>(7), Device::CPU, true); },
                                      "Unsupported Dtype");
}

TEST(Storage, BlocksAreReleasedExactlyOnce) {
  const std::size_t before = live_aligned_blocks();
  {
    auto s = std::make_shared<Storage>(5, Dtype::INT64, Device::CPU, true);
    auto lazy = std::make_shared<Storage>(5, Dtype::INT64, Device::CPU, false);
    lazy->ensure_allocated();
    lazy->ensure_allocated();
    auto again = s;
    EXPECT_EQ(live_aligned_blocks(), before + 2);
    s.reset();
    EXPECT_EQ(live_aligned_blocks(), before + 2);
  }
  EXPECT_EQ(live_aligned_blocks(), before);
  // Zero-byte buffers take no block at all.
  {
    Storage empty(0, Dtype::INT32, Device::CPU, true);
  }
  EXPECT_EQ(live_aligned_blocks(), before);
}

TEST(Storage, RefusedRequestsLeaveNothingBehind) {
  const std::size_t before = live_aligned_blocks();
  // 8 TiB: more than the machine can give.
  EXPECT_THROW(Storage(std::int64_t{1} << 40, Dtype::FLOAT64, Device::CPU, true), std::bad_alloc);
  Storage lazy(std::int64_t{1} << 40, Dtype::FLOAT64, Device::CPU, false);
  EXPECT_THROW(lazy.ensure_allocated(), std::bad_alloc);
  EXPECT_FALSE(lazy.allocated());
  EXPECT_EQ(live_aligned_blocks(), before);
}

TEST(Storage, RefusesByteCountsBeyond64Bits) {
  const std::int64_t max8 = static_cast<std::int64_t>((UINT64_MAX - 7) / 8);
  for (bool allocate : {false, true}) {
    expect_throw<std::length_error>(
        [&] { Storage(std::int64_t{1} << 62, Dtype::FLOAT32, Device::CPU, allocate); },
        "Storage: byte count exceeds the 64-bit range");
    expect_throw<std::length_error>(
        [&] { Storage(max8 + 1, Dtype::INT64, Device::CUDA, allocate); },
        "Storage: byte count exceeds the 64-bit range");
  }
  Storage largest(max8, Dtype::INT64, Device::CPU, false);
  EXPECT_EQ(largest.nbytes(), static_cast<std::size_t>(max8) * 8);
  expect_throw<std::invalid_argument>([] { Storage(-1, Dtype::INT32, Device::CPU, false); },
                                      "Storage: negative element count");
}

TEST(AlignedAlloc, Contract) {
  EXPECT_EQ(aligned_malloc(16, 3), nullptr);
  EXPECT_EQ(aligned_malloc(~std::size_t{0}, 8), nullptr);
  void* p = aligned_malloc(1, 64);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);
  aligned_free(p);
  aligned_free(nullptr);
}

}  // namespace
}  // namespace tolvane
