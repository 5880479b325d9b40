#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "core/tensor.h"
#include "test_helpers.h"

namespace tolvane {
namespace {

using V = std::vector<std::size_t>;
using D = std::vector<std::int64_t>;

TEST(InferShape, Valid) {
  struct Case {
    std::int64_t numel;
    D dims;
    V shape;
  };
  for (const Case& c : {Case{6, {3, 2}, {3, 2}}, Case{6, {-1}, {6}}, Case{6, {3, -1}, {3, 2}},
                        Case{0, {-1}, {0}}, Case{0, {-1, 0}, {0, 0}}, Case{0, {5, -1}, {5, 0}},
                        Case{0, {0, 7}, {0, 7}}, Case{1, {}, {}}, Case{1, {-1}, {1}},
                        Case{0,
                             {std::int64_t{1} << 32, std::int64_t{1} << 32, 0},
                             {std::size_t{1} << 32, std::size_t{1} << 32, 0}},
                        Case{INT64_MAX, {-1}, {std::size_t{INT64_MAX}}}}) {
    EXPECT_EQ(infer_shape(c.numel, c.dims), Shape(c.shape));
  }
}

TEST(InferShape, MessagesAndFirstOffender) {
  const std::int64_t big = std::int64_t{1} << 32;
  struct Case {
    std::int64_t numel;
    D dims;
    const char* detail;
  };
  for (const Case& c : {
           Case{6, {-1, 4}, "numel is not divisible by known dims"},
           Case{6, {7}, "numel mismatch"},
           Case{6, {-1, -1}, "only one -1 dimension allowed"},
           Case{6, {-2, 3}, "dimensions must be >= 0 or -1"},
           Case{6, {-1, -1, -2}, "only one -1 dimension allowed"},
           Case{6, {-2, -1, -1}, "dimensions must be >= 0 or -1"},
           Case{6, {0, -1}, "cannot infer dimension"},
           Case{2, {}, "numel mismatch"},
           // An overflowing product is reported with the totals, after every
           // entry has been checked.
           Case{0, {big, big}, "product of dims exceeds the int64 range"},
           Case{0, {-1, big, big}, "product of dims exceeds the int64 range"},
           Case{0, {big, big, -2}, "dimensions must be >= 0 or -1"},
           Case{0, {big, -1, big, -1}, "only one -1 dimension allowed"},
       }) {
    expect_throw<std::invalid_argument>([&] { infer_shape(c.numel, c.dims); },
                                        std::string("view/reshape: ") + c.detail);
  }
  expect_throw<std::length_error>([] { infer_shape(6, D{-2, -1, -1, 0, 9}); },
                                  "Shape: rank exceeds MAX_RANK");
}

// A CPU record over storage elements 0..n-1 of INT32, with the given layout.
TensorImpl record(std::int64_t n, V shape, V strides, std::size_t offset = 0) {
  TensorImpl r(Shape(V{static_cast<std::size_t>(n)}), Dtype::INT32, Device::CPU);
  auto* data = static_cast<std::int32_t*>(r.storage->data());
  std::iota(data, data + n, 0);
  r.shape = Shape(shape);
  r.strides = Shape(strides);
  r.offset = offset;
  return r;
}

std::vector<std::int32_t> elements(const TensorImpl& r) {
  const auto* data = static_cast<const std::int32_t*>(r.storage->data());
  return {data, data + r.shape.numel()};
}

TEST(CopyContiguous, StridedWalk) {
  const TensorImpl src = record(6, {2, 3}, {1, 2});
  const TensorImpl copy = copy_contiguous(src);
  EXPECT_EQ(elements(copy), (std::vector<std::int32_t>{0, 2, 4, 1, 3, 5}));
  EXPECT_EQ(copy.strides, Shape(V{3, 1}));
  EXPECT_EQ(copy.offset, 0u);
  EXPECT_NE(copy.storage, src.storage);

  // Rank 3 with an offset and a carry through two dimensions.
  const TensorImpl cube = record(30, {2, 2, 3}, {1, 12, 4}, 2);
  EXPECT_EQ(elements(copy_contiguous(cube)),
            (std::vector<std::int32_t>{2, 6, 10, 14, 18, 22, 3, 7, 11, 15, 19, 23}));
}

TEST(CopyContiguous, BlockCopies) {
  EXPECT_EQ(elements(copy_contiguous(record(6, {4}, {1}, 2))),
            (std::vector<std::int32_t>{2, 3, 4, 5}));
  // A size-1 dimension with an odd stride still counts as contiguous.
  EXPECT_EQ(elements(copy_contiguous(record(6, {1, 3}, {7, 1}))),
            (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(elements(copy_contiguous(record(6, {}, {}, 5))), (std::vector<std::int32_t>{5}));
}

TEST(CopyContiguous, AllocationOfTheSource) {
  const TensorImpl lazy(Shape(V{2, 3}), Dtype::FLOAT32, Device::CPU, false);
  expect_throw<std::logic_error>([&] { copy_contiguous(lazy); },
                                 "copy_contiguous: source has no allocation yet");
  const TensorImpl empty(Shape(V{2, 0}), Dtype::FLOAT32, Device::CPU, false);
  const TensorImpl copy = copy_contiguous(empty);
  EXPECT_EQ(copy.shape, empty.shape);
  EXPECT_NE(copy.storage, empty.storage);
}

TEST(Layout, ViewSharesTheStorage) {
  const Tensor t(Shape(V{2, 3}), Dtype::FLOAT32, Device::CPU, false);
  const Tensor v = t.view({3, -1});
  EXPECT_EQ(v.shape(), Shape(V{3, 2}));
  EXPECT_EQ(infer_shape(6, {2, -1}), Shape({2, 3}));
  EXPECT_EQ(v.strides(), Shape(V{2, 1}));
  EXPECT_EQ(v.impl()->storage, t.impl()->storage);
  EXPECT_NE(v.impl(), t.impl());
  const Tensor r = t.reshape({-1});
  EXPECT_EQ(r.impl()->storage, t.impl()->storage);
  EXPECT_EQ(t.contiguous().impl(), t.impl());
  EXPECT_FALSE(v.allocated());
  t.ensure_allocated();
  EXPECT_TRUE(v.allocated() && r.allocated());
}

TEST(Layout, NonContiguousRecords) {
  const Tensor t(std::make_shared<TensorImpl>(record(6, {2, 3}, {1, 2}, 0)));
  // dims errors come before the contiguity test.
  expect_throw<std::invalid_argument>([&] { t.view(D{7}); }, "view/reshape: numel mismatch");
  expect_throw<std::invalid_argument>([&] { t.view(D{3, 2}); }, "view: tensor is not contiguous");
  expect_throw<std::invalid_argument>([&] { t.reshape(D{7}); }, "view/reshape: numel mismatch");

  const Tensor r = t.reshape(D{3, 2});
  EXPECT_NE(r.impl()->storage, t.impl()->storage);
  EXPECT_EQ(elements(*r.impl()), (std::vector<std::int32_t>{0, 2, 4, 1, 3, 5}));
  const Tensor c = t.contiguous();
  EXPECT_NE(c.impl(), t.impl());
  EXPECT_TRUE(c.is_contiguous());
  EXPECT_EQ(elements(*c.impl()), (std::vector<std::int32_t>{0, 2, 4, 1, 3, 5}));

  TensorImpl lazy_record(Shape(V{2, 3}), Dtype::INT32, Device::CPU, false);
  lazy_record.strides = Shape(V{1, 2});
  const Tensor lazy(std::make_shared<TensorImpl>(lazy_record));
  expect_throw<std::logic_error>([&] { lazy.reshape(D{6}); },
                                 "copy_contiguous: source has no allocation yet");
  expect_throw<std::logic_error>([&] { lazy.contiguous(); },
                                 "copy_contiguous: source has no allocation yet");
}

}  // namespace
}  // namespace tolvane
