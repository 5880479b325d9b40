#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/aligned_alloc.h"
#include "core/tensor.h"
#include "test_helpers.h"

namespace tolvane {
namespace {

using V = std::vector<std::size_t>;

TEST(Tensor, AllocatedRecord) {
  const Tensor t(Shape(V{2, 3}), Dtype::FLOAT32, Device::CPU);
  EXPECT_EQ(t.offset(), 0u);
  EXPECT_EQ(t.strides(), Shape(V{3, 1}));
  EXPECT_EQ(t.numel(), 6);
  EXPECT_EQ(t.nbytes(), 24u);
  EXPECT_TRUE(t.allocated());
  EXPECT_TRUE(t.is_contiguous());
  EXPECT_EQ(t.impl()->storage.use_count(), 1);
}

TEST(Tensor, LazyOnOtherDevices) {
  const Tensor t(Shape(V{2, 3}), Dtype::FLOAT32, Device::CUDA, false);
  EXPECT_FALSE(t.allocated());
  EXPECT_EQ(t.device(), Device::CUDA);
  expect_throw<std::runtime_error>([&] { t.ensure_allocated(); },
                                   "Buffer: only CPU device is implemented");
  EXPECT_FALSE(t.allocated());
}

TEST(Tensor, AllocatingFactoriesRefuseOtherDevicesAndLeaveNothing) {
  const std::size_t before = live_aligned_blocks();
  for (const V& shape : {V{2, 3}, V{0}}) {
    for (Device d : {Device::CUDA, Device::HIP}) {
      const Shape s(shape);
      const char* msg = "Buffer: only CPU device is implemented";
      expect_throw<std::runtime_error>([&] { Tensor(s, Dtype::INT64, d); }, msg);
      expect_throw<std::runtime_error>([&] { Tensor::zeros(s, Dtype::INT64, d); }, msg);
      expect_throw<std::runtime_error>([&] { Tensor::ones(s, Dtype::INT64, d); }, msg);
    }
  }
  EXPECT_THROW(Tensor::ones(Shape(V{std::size_t{1} << 40}), Dtype::INT64, Device::CPU),
               std::bad_alloc);
  EXPECT_EQ(live_aligned_blocks(), before);
}

TEST(Tensor, RankZeroAndZeroExtents) {
  const Tensor scalar(Shape(), Dtype::FLOAT64, Device::CPU);
  EXPECT_EQ(scalar.numel(), 1);
  EXPECT_EQ(scalar.nbytes(), 8u);
  EXPECT_EQ(scalar.strides().rank(), 0);
  EXPECT_TRUE(scalar.is_contiguous());

  for (bool allocate : {true, false}) {
    const Tensor empty(Shape(V{2, 0, 3}), Dtype::FLOAT32, Device::CPU, allocate);
    EXPECT_EQ(empty.numel(), 0);
    EXPECT_EQ(empty.nbytes(), 0u);
    EXPECT_EQ(empty.strides(), Shape(V{0, 3, 1}));
    EXPECT_TRUE(empty.allocated());
    EXPECT_EQ(empty.impl()->storage->data(), nullptr);
  }
}

TEST(Tensor, NullRecordIsRefused) {
  expect_throw<std::invalid_argument>([] { Tensor(std::shared_ptr<TensorImpl>{}); },
                                      "Tensor: null TensorImpl");
}

TEST(Tensor, CopiesShareTheRecord) {
  const Tensor a(Shape(V{4}), Dtype::INT32, Device::CPU, false);
  const Tensor b = a;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(a.impl(), b.impl());
  b.ensure_allocated();
  EXPECT_TRUE(a.allocated());
}

TEST(TensorImpl, MoveEmptiesTheSourceStorage) {
  TensorImpl src(Shape(V{2, 3}), Dtype::FLOAT32, Device::CPU);
  src.offset = 2;
  const auto storage = src.storage;
  TensorImpl dst(std::move(src));
  EXPECT_EQ(src.storage, nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(dst.storage, storage);
  EXPECT_EQ(dst.shape, Shape(V{2, 3}));
  EXPECT_EQ(dst.strides, Shape(V{3, 1}));
  EXPECT_EQ(dst.offset, 2u);

  TensorImpl assigned(Shape(), Dtype::INT32, Device::CPU);
  assigned = std::move(dst);
  EXPECT_EQ(dst.storage, nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(assigned.storage, storage);
}

template <typename Word>
std::vector<Word> words(const Tensor& t) {
  std::vector<Word> out(t.nbytes() / sizeof(Word));
  std::memcpy(out.data(), t.impl()->storage->data(), t.nbytes());
  return out;
}

TEST(Tensor, OnesBitPatterns) {
  const Shape s(V{2, 3});
  EXPECT_EQ(words<std::uint32_t>(Tensor::ones(s, Dtype::FLOAT32, Device::CPU)),
            std::vector<std::uint32_t>(6, 0x3F800000u));
  EXPECT_EQ(words<std::uint32_t>(Tensor::ones(s, Dtype::INT32, Device::CPU)),
            std::vector<std::uint32_t>(6, 1u));
  EXPECT_EQ(words<std::uint64_t>(Tensor::ones(s, Dtype::FLOAT64, Device::CPU)),
            std::vector<std::uint64_t>(6, 0x3FF0000000000000u));
  EXPECT_EQ(words<std::uint64_t>(Tensor::ones(s, Dtype::INT64, Device::CPU)),
            std::vector<std::uint64_t>(6, 1u));
  EXPECT_EQ(words<std::uint64_t>(Tensor::ones(Shape(), Dtype::FLOAT64, Device::CPU)),
            std::vector<std::uint64_t>(1, 0x3FF0000000000000u));
}

TEST(Tensor, ZerosBytes) {
  for (Dtype d : {Dtype::FLOAT32, Dtype::INT32, Dtype::FLOAT64, Dtype::INT64}) {
    const Tensor t = Tensor::zeros(Shape(V{3}), d, Device::CPU);
    EXPECT_EQ(words<std::uint8_t>(t), std::vector<std::uint8_t>(t.nbytes(), 0));
  }
  // Nothing to write and nothing allocated for zero elements.
  EXPECT_EQ(Tensor::zeros(Shape(V{2, 0, 3}), Dtype::FLOAT32, Device::CPU).impl()->storage->data(),
            nullptr);
  EXPECT_EQ(Tensor::ones(Shape(V{0}), Dtype::INT64, Device::CPU).impl()->storage->data(), nullptr);
}

TEST(Tensor, ZerosOverReusedMemory) {
  // Sizes below and above the huge-page threshold, each over memory that a
  // dirty block of the same size has just given back.
  for (std::size_t n : {std::size_t{1000}, std::size_t{3} << 20}) {
    const Shape s(V{n});
    {
      const Tensor dirty = Tensor::ones(s, Dtype::INT32, Device::CPU);
    }
    const Tensor t = Tensor::zeros(s, Dtype::INT32, Device::CPU);
    const auto w = words<std::uint32_t>(t);
    EXPECT_EQ(std::count(w.begin(), w.end(), 0u), static_cast<std::ptrdiff_t>(n));
  }
}

TEST(Tensor, EveryFactoryCallMakesItsOwnStorage) {
  const Shape s(V{2});
  const Tensor a = Tensor::zeros(s, Dtype::FLOAT32, Device::CPU);
  const Tensor b = Tensor::zeros(s, Dtype::FLOAT32, Device::CPU);
  EXPECT_NE(a.impl()->storage, b.impl()->storage);
  EXPECT_NE(a.impl(), b.impl());
}

}  // namespace
}  // namespace tolvane
