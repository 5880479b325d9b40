#include "core/storage.h"

#include <limits>
#include <new>
#include <stdexcept>

#include "core/aligned_alloc.h"
#include "core/portable.h"

namespace tolvane {

namespace {

constexpr std::size_t BUFFER_ALIGNMENT = 8;

}  // namespace

Buffer::Buffer(std::size_t size, Device device, Contents contents) : size_(size), device_(device) {
  if (device != Device::CPU) throw std::runtime_error("Buffer: only CPU device is implemented");
  if (size == 0) return;
  data_ = contents == Contents::ZEROED ? aligned_calloc(size, BUFFER_ALIGNMENT)
                                       : aligned_malloc(size, BUFFER_ALIGNMENT);
  if (data_ == nullptr) throw std::bad_alloc();
}

Buffer::~Buffer() { aligned_free(data_); }

Storage::Storage(std::int64_t numel, Dtype dtype, Device device, bool allocate, Contents contents)
    : dtype_(dtype), device_(device), numel_(numel) {
  if (numel < 0) throw std::invalid_argument("Storage: negative element count");
  // An unknown Dtype has no byte count to check; nbytes() refuses it later.
  constexpr std::size_t max_bytes =
      std::numeric_limits<std::size_t>::max() - (BUFFER_ALIGNMENT - 1);
  std::size_t bytes = 0;
  if (is_known_dtype(dtype) &&
      (mul_overflow(static_cast<std::size_t>(numel), dtype_size(dtype), &bytes) ||
       bytes > max_bytes)) {
    throw std::length_error("Storage: byte count exceeds the 64-bit range");
  }
  if (allocate) buffer_ = std::make_shared<Buffer>(nbytes(), device, contents);
}

std::size_t Storage::nbytes() const {
  return dtype_size(dtype_) * static_cast<std::size_t>(numel_);
}

bool Storage::allocated() const { return nbytes() == 0 || buffer_ != nullptr; }

void Storage::attach_buffer() {
  const std::size_t bytes = nbytes();
  if (bytes != 0) buffer_ = std::make_shared<Buffer>(bytes, device_);
}

}  // namespace tolvane
