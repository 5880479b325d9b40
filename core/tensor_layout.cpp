// The layout operations of the tensor family: shape inference, the
// contiguous copy, and the view, reshape and contiguous members built on them.

#include <array>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/portable.h"
#include "core/tensor.h"

namespace tolvane {

namespace {

[[noreturn]] void refuse(const char* detail) {
  throw std::invalid_argument(std::string("view/reshape: ") + detail);
}

Tensor wrap(TensorImpl&& record) { return Tensor(std::make_shared<TensorImpl>(std::move(record))); }

}  // namespace

Shape infer_shape(std::int64_t numel, std::span<const std::int64_t> dims) {
  check_rank(dims.size());
  std::array<std::size_t, MAX_RANK> result{};
  std::int64_t known = 1;
  bool overflow = false;  // a product beyond int64 is only an error without a zero entry
  bool has_zero = false;
  std::size_t inferred = dims.size();
  for (std::size_t i = 0; i < dims.size(); ++i) {
    const std::int64_t d = dims[i];
    if (d == -1) {
      if (inferred != dims.size()) refuse("only one -1 dimension allowed");
      inferred = i;
    } else if (d < -1) {
      refuse("dimensions must be >= 0 or -1");
    } else {
      result[i] = static_cast<std::size_t>(d);
      has_zero = has_zero || d == 0;
      overflow = overflow || mul_overflow(known, d, &known);
    }
  }
  if (has_zero) {
    known = 0;
  } else if (overflow) {
    refuse("product of dims exceeds the int64 range");
  }
  if (inferred != dims.size()) {
    if (known != 0) {
      if (numel % known != 0) refuse("numel is not divisible by known dims");
      result[inferred] = static_cast<std::size_t>(numel / known);
    } else if (numel != 0) {
      refuse("cannot infer dimension");
    }
  } else if (known != numel) {
    refuse("numel mismatch");
  }
  return Shape(std::span<const std::size_t>(result.data(), dims.size()));
}

TensorImpl copy_contiguous(const TensorImpl& src) {
  const Storage& from = *src.storage;
  if (!from.allocated()) throw std::logic_error("copy_contiguous: source has no allocation yet");
  TensorImpl result(src.shape, from.dtype(), from.device(), true);
  const std::int64_t n = src.shape.numel();
  if (n == 0) return result;
  const std::size_t e = dtype_size(from.dtype());
  auto* dst = static_cast<std::byte*>(result.storage->data());
  const auto* base = static_cast<const std::byte*>(from.data()) + src.offset * e;
  if (is_contiguous(src.shape, src.strides)) {
    std::memcpy(dst, base, static_cast<std::size_t>(n) * e);
    return result;
  }
  // Row-major walk, last dimension fastest: one addition per step and one
  // subtraction per carry keep the source index without any division.
  const int rank = src.shape.rank();
  std::array<std::size_t, MAX_RANK> position{};
  std::size_t s = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    std::memcpy(dst + static_cast<std::size_t>(i) * e, base + s * e, e);
    for (int d = rank - 1; d >= 0; --d) {
      s += src.strides[d];
      if (++position[static_cast<std::size_t>(d)] < src.shape[d]) break;
      s -= src.strides[d] * src.shape[d];
      position[static_cast<std::size_t>(d)] = 0;
    }
  }
  return result;
}

TensorImpl TensorImpl::contiguous() const {
  return is_contiguous(shape, strides) ? *this : copy_contiguous(*this);
}

TensorImpl TensorImpl::view(std::span<const std::int64_t> dims) const {
  const Shape new_shape = infer_shape(shape.numel(), dims);
  if (!is_contiguous(shape, strides)) throw std::invalid_argument("view: tensor is not contiguous");
  TensorImpl result = *this;
  result.strides = contiguous_strides(new_shape);
  result.shape = new_shape;
  return result;
}

Tensor Tensor::contiguous() const {
  return is_contiguous() ? Tensor(impl_) : wrap(impl_->contiguous());
}

Tensor Tensor::view(std::span<const std::int64_t> dims) const { return wrap(impl_->view(dims)); }

Tensor Tensor::reshape(std::span<const std::int64_t> dims) const {
  if (is_contiguous()) return view(dims);
  infer_shape(numel(), dims);  // its failures come before the copy's
  return wrap(impl_->contiguous().view(dims));
}

}  // namespace tolvane
