#pragma once

// The tensor family: the TensorImpl record, the Tensor handle, its factories
// and the layout operations (view, reshape, contiguous; their bodies are in
// tensor_layout.cpp).
//
// A tensor is a record over shared storage whose memory may come later:
//
//   Tensor a(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);   // 24 bytes, now
//   Tensor b = Tensor::ones(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
//   Tensor c = add(a, b);      // graph/ops.h: recorded, not computed
//   c.nbytes();                // 24: shape, strides and size are final
//   c.allocated();             // false: no memory yet
//   execute(c);                // attaches c's memory; computes no values
//   c.allocated();             // true; the contents are uninitialised
//   Tensor v = b.view({3, -1});  // [3, 2], over b's storage
//
// TensorImpl is the record of one tensor: the Storage holding its elements
// (shared with every record that views them), the element offset of its first
// element in that storage, and its strides and shape. Element (i0, i1, ...)
// is storage element `offset + sum(ik * strides[k])`. Every record the
// library makes has offset 0 and contiguous strides; the fields are public so
// that other layouts can be described. Records are never changed once a
// handle refers to them; `storage` is empty only in a record moved from.
//
// Tensor is a shared reference to one TensorImpl. Copying a handle shares the
// record; the graph tells tensors apart by the record's address. A Tensor's
// Dtype and Device are those of its Storage. Accessors assume a handle that
// refers to a record (only a moved-from handle does not).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

#include "core/dtype.h"
#include "core/shape.h"
#include "core/storage.h"

namespace tolvane {

struct TensorImpl {
  // A record over a new Storage of `shape.numel()` elements, with contiguous
  // strides and offset 0; `allocate` decides whether memory is taken now,
  // `contents` what it holds.
  TensorImpl(const Shape& shape, Dtype dtype, Device device, bool allocate = true,
             Contents contents = Contents::UNINITIALIZED);

  // This record when contiguous, else copy_contiguous(*this).
  TensorImpl contiguous() const;
  // The same storage and offset under the shape that `dims` asks for, with
  // contiguous strides; refuses a record that is not contiguous.
  TensorImpl view(std::span<const std::int64_t> dims) const;

  std::shared_ptr<Storage> storage;
  std::size_t offset = 0;
  Shape strides;
  Shape shape;
};

class Tensor {
 public:
  // Takes over `impl`; throws std::invalid_argument for an empty reference.
  explicit Tensor(std::shared_ptr<TensorImpl> impl);
  // A new tensor with uninitialised contents. With `allocate` false no memory
  // is taken (and neither Dtype nor Device is checked) until
  // ensure_allocated().
  Tensor(const Shape& shape, Dtype dtype, Device device, bool allocate = true);

  // Every byte 0.
  static Tensor zeros(const Shape& shape, Dtype dtype, Device device);
  // Every element 1 of its Dtype.
  static Tensor ones(const Shape& shape, Dtype dtype, Device device);

  const std::shared_ptr<TensorImpl>& impl() const { return impl_; }
  const Shape& shape() const { return impl_->shape; }
  const Shape& strides() const { return impl_->strides; }
  std::size_t offset() const { return impl_->offset; }
  std::int64_t numel() const { return impl_->shape.numel(); }
  Dtype dtype() const { return impl_->storage->dtype(); }
  Device device() const { return impl_->storage->device(); }
  std::size_t nbytes() const { return impl_->storage->nbytes(); }
  bool allocated() const { return impl_->storage->allocated(); }
  bool is_contiguous() const { return tolvane::is_contiguous(impl_->shape, impl_->strides); }
  void ensure_allocated() const { impl_->storage->ensure_allocated(); }

  // A handle to this very record when contiguous, else to a contiguous copy.
  Tensor contiguous() const;
  // A new record over the same storage (see TensorImpl::view).
  Tensor view(std::span<const std::int64_t> dims) const;
  Tensor view(std::initializer_list<std::int64_t> dims) const {
    return view(std::span(dims.begin(), dims.size()));
  }
  // view() when contiguous; otherwise a view of a contiguous copy.
  Tensor reshape(std::span<const std::int64_t> dims) const;
  Tensor reshape(std::initializer_list<std::int64_t> dims) const {
    return reshape(std::span(dims.begin(), dims.size()));
  }

 private:
  std::shared_ptr<TensorImpl> impl_;
};

// The first invariant `record` breaks, or null: it has a storage, its strides
// have the rank of its shape, and every element it addresses lies inside the
// storage. Debug builds check each record a Tensor is made over.
const char* broken_invariant(const TensorImpl& record);

// The shape that `dims` asks for on `numel` elements. Entries are
// non-negative or -1 (at most one), standing for the extent that makes the
// count match. Checks, in order: the number of entries (std::length_error),
// each entry from the first (std::invalid_argument, first offender decides),
// then the totals, including a product of entries beyond int64.
Shape infer_shape(std::int64_t numel, std::span<const std::int64_t> dims);
inline Shape infer_shape(std::int64_t numel, std::initializer_list<std::int64_t> dims) {
  return infer_shape(numel, std::span(dims.begin(), dims.size()));
}

// A new allocated, contiguous record with the elements of `src` in row-major
// order of its shape. `src` must be allocated (std::logic_error otherwise) and
// its offset and strides must stay inside its storage.
TensorImpl copy_contiguous(const TensorImpl& src);

}  // namespace tolvane
