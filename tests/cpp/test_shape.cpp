#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/shape.h"
#include "test_helpers.h"

namespace tolvane {
namespace {

using V = std::vector<std::size_t>;

TEST(Shape, ConstructionKeepsExtentsAndZeroFillsTheRest) {
  const Shape s(V{2, 0, 3});
  EXPECT_EQ(s.rank(), 3);
  EXPECT_EQ(s.to_vector(), (V{2, 0, 3}));
  EXPECT_EQ(s.numel(), 0);
  EXPECT_EQ(Shape(V{2, 0, 3, 0}), Shape(V{2, 0, 3, 0}));
  EXPECT_EQ(Shape(), Shape(V{}));
  EXPECT_EQ(Shape(V{}).numel(), 1);
  EXPECT_EQ(Shape(V{4, 5, 6, 7}).numel(), 840);
  expect_throw<std::length_error>([] { Shape(V{1, 1, 1, 1, 1}); }, "Shape: rank exceeds MAX_RANK");
}

TEST(Shape, ContiguousStrides) {
  struct Case {
    V shape, strides;
  };
  for (const Case& c : {Case{{2, 3, 4}, {12, 4, 1}}, Case{{5}, {1}}, Case{{2, 0, 3}, {0, 3, 1}},
                        Case{{3, 0}, {0, 1}}, Case{{}, {}}}) {
    const Shape strides = contiguous_strides(Shape(c.shape));
    EXPECT_EQ(strides, Shape(c.strides));
    EXPECT_TRUE(is_contiguous(Shape(c.shape), strides));
  }
}

TEST(Shape, IsContiguous) {
  struct Case {
    V shape, strides;
    bool expected;
  };
  for (const Case& c :
       {Case{{2, 1, 3}, {3, 99, 1}, true}, Case{{1, 3}, {7, 1}, true}, Case{{2, 3}, {1, 2}, false},
        Case{{3, 0}, {5, 1}, false}, Case{{2, 3}, {3, 1, 1}, false}, Case{{}, {}, true}}) {
    EXPECT_EQ(is_contiguous(Shape(c.shape), Shape(c.strides)), c.expected);
  }
}

TEST(Shape, RefusesCountsBeyondInt64AndStridesBeyondUint64) {
  const std::size_t big = std::size_t{1} << 62;
  const std::size_t top = std::size_t{1} << 63;
  for (const V& extents : {V{big, 8}, V{top}, V{~std::size_t{0}}, V{std::size_t{1} << 61, 8},
                           V{1 << 16, 1 << 16, 1 << 16, 1 << 16}, V{1, top}}) {
    expect_throw<std::length_error>([&] { Shape{extents}; },
                                    "Shape: element count exceeds the int64 range");
  }
  // Strides are products of the extents behind them, zero or not in front.
  for (const V& extents :
       {V{0, big, 4}, V{0, top, 2}, V{0, 1 << 16, 1 << 16, std::size_t{1} << 32}}) {
    expect_throw<std::length_error>([&] { Shape{extents}; },
                                    "Shape: stride exceeds the uint64 range");
  }
  // A zero extent in front: no elements, and every stride fits its type.
  for (const std::size_t extent : {top, ~std::size_t{0}}) {
    const Shape shape(V{0, extent});
    EXPECT_EQ(shape.numel(), 0);
    EXPECT_EQ(contiguous_strides(shape).to_vector(), (V{extent, 1}));
  }
  // The largest counts that fit are kept exactly.
  EXPECT_EQ(Shape(V{std::size_t{INT64_MAX}}).numel(), INT64_MAX);
  EXPECT_EQ(Shape(V{std::size_t{1} << 40, 0, 1 << 20}).numel(), 0);
  // Large extents before a zero: the count is 0 (found by the fuzzer, which
  // saw the leading product overflow int64 under UBSan).
  EXPECT_EQ(Shape(V{std::size_t{1} << 40, std::size_t{1} << 40, 0}).numel(), 0);
}

}  // namespace
}  // namespace tolvane
