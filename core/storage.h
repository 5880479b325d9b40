#pragma once

// Buffer and Storage: where a tensor's elements live.
//
// A Buffer is one block of host memory, aligned to 8 bytes and rounded up to a
// multiple of 8 bytes, holding at least `size()` uninitialised bytes. Only the
// CPU device can have one; a Buffer of 0 bytes has no block (null `data()`).
// It is never copied and frees its block exactly once, when destroyed.
//
// A Storage is the unit of memory and of allocation state, shared (through
// std::shared_ptr, made with std::make_shared) by every TensorImpl that views
// the same elements. It knows its element count, Dtype and Device from birth
// and gets its Buffer either at construction or later from
// `ensure_allocated()`; once attached, the Buffer stays until the Storage dies.
// A Storage counts as allocated when it has a Buffer or needs no bytes.
//
// A Storage refuses, at construction and before anything is allocated, an
// element count whose byte count (rounded up to 8) would not fit 64 bits.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/dtype.h"

namespace tolvane {

// What a new block holds: whatever was there, or zero in every byte.
enum class Contents : std::uint8_t { UNINITIALIZED, ZEROED };

class Buffer {
 public:
  // Throws std::runtime_error for any device but CPU (also for 0 bytes) and
  // std::bad_alloc when no memory can be had.
  Buffer(std::size_t size, Device device, Contents contents = Contents::UNINITIALIZED);
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  void* data() const { return data_; }
  // The requested byte count, not rounded up.
  std::size_t size() const { return size_; }
  Device device() const { return device_; }

 private:
  void* data_ = nullptr;
  std::size_t size_ = 0;
  Device device_ = Device::CPU;
};

class Storage {
 public:
  // With `allocate` the Buffer is made at once (checking Dtype and Device),
  // holding `contents`; without it nothing is looked up or allocated.
  Storage(std::int64_t numel, Dtype dtype, Device device, bool allocate,
          Contents contents = Contents::UNINITIALIZED);

  Dtype dtype() const { return dtype_; }
  Device device() const { return device_; }
  std::int64_t numel() const { return numel_; }
  // dtype_size(dtype()) * numel(); throws for an unknown Dtype.
  std::size_t nbytes() const;
  bool allocated() const;
  // Attaches a Buffer when bytes are needed and none is attached yet. On
  // failure the Storage stays as it was.
  void ensure_allocated() {
    if (!buffer_) attach_buffer();
  }
  // The memory, or null without a Buffer (and always for 0 bytes).
  void* data() const { return buffer_ ? buffer_->data() : nullptr; }
  const std::shared_ptr<Buffer>& buffer() const { return buffer_; }

 private:
  // Attaches a Buffer of nbytes(), unless that is 0.
  void attach_buffer();

  std::shared_ptr<Buffer> buffer_;
  Dtype dtype_;
  Device device_;
  std::int64_t numel_;
};

}  // namespace tolvane
