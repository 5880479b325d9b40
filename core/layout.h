#pragma once

// Layout operations: shape inference for view/reshape and the contiguous copy.
// The member operations (TensorImpl::contiguous/view, Tensor::contiguous/
// view/reshape) are declared with their records and built on these two.

#include <cstdint>
#include <span>

#include "core/shape.h"
#include "core/tensor.h"

namespace tolvane {

// The shape that `dims` asks for on `numel` elements. Entries are
// non-negative or -1 (at most one), standing for the extent that makes the
// count match. Checks, in order: the number of entries (std::length_error),
// each entry from the first (std::invalid_argument, first offender decides),
// then the totals, including a product of entries beyond int64.
Shape infer_shape(std::int64_t numel, std::span<const std::int64_t> dims);

// A new allocated, contiguous record with the elements of `src` in row-major
// order of its shape. `src` must be allocated (std::logic_error otherwise) and
// its offset and strides must stay inside its storage.
TensorImpl copy_contiguous(const TensorImpl& src);

}  // namespace tolvane
