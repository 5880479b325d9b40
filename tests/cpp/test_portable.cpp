#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/aligned_alloc.h"
#include "core/portable.h"

// _aligned_msize comes with MSVC and with the universal C runtime (MinGW's
// older msvcrt lacks it).
#if defined(_WIN32) && (defined(_MSC_VER) || defined(_UCRT))
#define TOLVANE_ALIGNED_MSIZE 1
#include <malloc.h>
#elif defined(__APPLE__)
#include <malloc/malloc.h>
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tolvane {
namespace {

// Bytes the C library will let us use in a block of aligned_malloc's, where
// it can tell (0 where it cannot).
std::size_t usable_size(void* block, std::size_t alignment) {
#if defined(TOLVANE_ALIGNED_MSIZE)
  return _aligned_msize(block, alignment, 0);
#elif defined(__APPLE__)
  static_cast<void>(alignment);
  return malloc_size(block);
#elif defined(__GLIBC__)
  static_cast<void>(alignment);
  return malloc_usable_size(block);
#else
  static_cast<void>(block);
  static_cast<void>(alignment);
  return 0;
#endif
}

// Values around every edge of T: both ends, zero and one, and the square root
// of the range, where products start to overflow.
template <typename T>
std::vector<T> edges() {
  using L = std::numeric_limits<T>;
  const T root = T{1} << (L::digits / 2);
  std::vector<T> values{
      0, 1, 2, 3, root - 1, root, root + 1, L::max() / 2, L::max() / 2 + 1, L::max() - 1, L::max()};
  if constexpr (L::is_signed) {
    for (T v : {T{-1}, T{-2}, T{-3}, T(-root), T(-root - 1), T(L::min() / 2), T(L::min() + 1),
                L::min()}) {
      values.push_back(v);
    }
  }
  return values;
}

template <typename T>
class CheckedArithmetic : public ::testing::Test {};
using Integers =
    ::testing::Types<std::int32_t, std::int64_t, std::uint32_t, std::uint64_t, std::size_t>;
TYPED_TEST_SUITE(CheckedArithmetic, Integers);

// The portable versions are what MSVC builds use: they must agree with the
// compilers' builtins on every pair of edge values, result included.
TYPED_TEST(CheckedArithmetic, PortableAgreesWithTheBuiltins) {
#ifndef TOLVANE_OVERFLOW_BUILTINS
  GTEST_SKIP() << "this compiler has no overflow builtins to compare with";
#else
  using T = TypeParam;
  for (T a : edges<T>()) {
    for (T b : edges<T>()) {
      T sum{}, product{}, portable_sum{}, portable_product{};
      const bool add = __builtin_add_overflow(a, b, &sum);
      const bool mul = __builtin_mul_overflow(a, b, &product);
      ASSERT_EQ(portable_add_overflow(a, b, &portable_sum), add) << a << " + " << b;
      ASSERT_EQ(portable_mul_overflow(a, b, &portable_product), mul) << a << " * " << b;
      if (!add) {
        EXPECT_EQ(portable_sum, sum) << a << " + " << b;
      }
      if (!mul) {
        EXPECT_EQ(portable_product, product) << a << " * " << b;
      }
    }
  }
#endif
}

TEST(CheckedArithmetic, KnownCases) {
  using L = std::numeric_limits<std::int64_t>;
  std::int64_t out = 0;
  EXPECT_TRUE(portable_mul_overflow<std::int64_t>(-1, L::min(), &out));
  EXPECT_TRUE(portable_mul_overflow<std::int64_t>(L::min(), -1, &out));
  EXPECT_FALSE(portable_mul_overflow<std::int64_t>(-1, L::max(), &out));
  EXPECT_EQ(out, -L::max());
  EXPECT_TRUE(portable_add_overflow<std::int64_t>(L::min(), -1, &out));
  std::size_t size = 0;
  EXPECT_TRUE(add_overflow(~std::size_t{0}, std::size_t{1}, &size));
  EXPECT_FALSE(mul_overflow(std::size_t{1} << 31U, std::size_t{1} << 31U, &size));
  EXPECT_EQ(size, std::size_t{1} << 62U);
}

// The index table's remainder takes the upper half of a 128-bit product;
// compilers without 128-bit integers (MSVC) get it from 32-bit halves.
TEST(CheckedArithmetic, HighHalfOfProducts) {
  const std::vector<std::uint64_t> values = edges<std::uint64_t>();
  for (std::uint64_t a : values) {
    for (std::uint64_t b : values) {
#ifdef __SIZEOF_INT128__
      __extension__ using Wide = unsigned __int128;
      const auto expected = static_cast<std::uint64_t>((static_cast<Wide>(a) * b) >> 64U);
      ASSERT_EQ(portable_mul_high64(a, b), expected) << a << " * " << b;
#endif
      ASSERT_EQ(mul_high64(a, b), portable_mul_high64(a, b)) << a << " * " << b;
    }
  }
  static_assert(portable_mul_high64(~std::uint64_t{0}, ~std::uint64_t{0}) == ~std::uint64_t{0} - 1);
  static_assert(portable_mul_high64(std::uint64_t{1} << 63U, 4) == 2);
}

// Every platform's allocation path (_aligned_malloc on Windows, calloc,
// malloc or posix_memalign elsewhere): aligned, zeroed when asked, the whole
// rounded block usable, released by aligned_free.
TEST(AlignedAlloc, EveryAlignmentOnThisPlatform) {
  const std::size_t before = live_aligned_blocks();
  for (std::size_t alignment :
       {std::size_t{8}, std::size_t{16}, std::size_t{64}, std::size_t{4096}}) {
    for (std::size_t size :
         {std::size_t{1}, std::size_t{24}, std::size_t{4097}, HUGE_PAGE_THRESHOLD + 1}) {
      for (bool zeroed : {false, true}) {
        auto* block = static_cast<unsigned char*>(zeroed ? aligned_calloc(size, alignment)
                                                         : aligned_malloc(size, alignment));
        ASSERT_NE(block, nullptr) << size << " bytes at " << alignment;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u);
        const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
        const std::size_t usable = usable_size(block, alignment);
        if (usable != 0) {
          EXPECT_GE(usable, rounded);
        }
        if (zeroed) {
          std::size_t nonzero = 0;
          for (std::size_t i = 0; i < rounded; ++i) nonzero += block[i] != 0 ? 1 : 0;
          EXPECT_EQ(nonzero, 0u) << size << " bytes at " << alignment;
        }
        block[rounded - 1] = 0xAB;
        aligned_free(block);
      }
    }
  }
  EXPECT_EQ(live_aligned_blocks(), before);
}

// Advice is a hint: on any block, also where the system has none to give.
TEST(AlignedAlloc, HugePageAdviceNeverHarms) {
  void* block = aligned_malloc(3 * HUGE_PAGE_THRESHOLD, 64);
  ASSERT_NE(block, nullptr);
  advise_huge_pages(block, 3 * HUGE_PAGE_THRESHOLD);
  advise_huge_pages(block, 1);
  static_cast<unsigned char*>(block)[0] = 1;
  aligned_free(block);
}

}  // namespace
}  // namespace tolvane
