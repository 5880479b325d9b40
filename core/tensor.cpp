#include "core/tensor.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "core/invariants.h"
#include "core/portable.h"

namespace tolvane {

TensorImpl::TensorImpl(const Shape& shape, Dtype dtype, Device device, bool allocate,
                       Contents contents)
    : storage(std::make_shared<Storage>(shape.numel(), dtype, device, allocate, contents)),
      strides(contiguous_strides(shape)),
      shape(shape) {}

Tensor::Tensor(std::shared_ptr<TensorImpl> impl) : impl_(std::move(impl)) {
  if (!impl_) throw std::invalid_argument("Tensor: null TensorImpl");
  if constexpr (CHECK_INVARIANTS) expect_kept(broken_invariant(*impl_));
}

Tensor::Tensor(const Shape& shape, Dtype dtype, Device device, bool allocate)
    : impl_(std::make_shared<TensorImpl>(shape, dtype, device, allocate)) {
  if constexpr (CHECK_INVARIANTS) expect_kept(broken_invariant(*impl_));
}

const char* broken_invariant(const TensorImpl& record) {
  if (!record.storage) return "TensorImpl: no storage";
  const Shape& shape = record.shape;
  if (const char* broken = broken_invariant(shape)) return broken;
  if (const char* broken = broken_invariant(record.strides)) return broken;
  if (record.strides.rank() != shape.rank()) return "TensorImpl: strides and shape differ in rank";
  if (shape.numel() == 0) return nullptr;
  // The furthest element: every index at its extent less one.
  std::size_t last = record.offset;
  bool overflow = false;
  for (int k = 0; k < shape.rank(); ++k) {
    std::size_t step = 0;
    overflow = overflow || mul_overflow(shape[k] - 1, record.strides[k], &step) ||
               add_overflow(last, step, &last);
  }
  const bool inside = !overflow && last < static_cast<std::size_t>(record.storage->numel());
  return inside ? nullptr : "TensorImpl: an element lies beyond the storage";
}

// The allocation layer zero-fills, leaving alone pages the kernel has just
// zeroed: a first touch of those costs the same as a write (the benchmark
// "zeros 64 Mi float32" beside the C++ fill of fresh memory, fresh_fill_zero).
Tensor Tensor::zeros(const Shape& shape, Dtype dtype, Device device) {
  return Tensor(std::make_shared<TensorImpl>(shape, dtype, device, true, Contents::ZEROED));
}

Tensor Tensor::ones(const Shape& shape, Dtype dtype, Device device) {
  Tensor t(shape, dtype, device);
  void* data = t.impl_->storage->data();
  const std::int64_t n = t.numel();
  if (data == nullptr || n == 0) return t;
  visit_dtype(dtype, [data, n](const auto& row) {
    using T = element_t<decltype(row)>;
    std::fill_n(static_cast<T*>(data), n, T{1});
  });
  return t;
}

}  // namespace tolvane
