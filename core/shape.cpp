#include "core/shape.h"

#include <limits>
#include <stdexcept>

#include "core/invariants.h"
#include "core/portable.h"

namespace tolvane {

void check_rank(std::size_t rank) {
  if (rank > MAX_RANK) throw std::length_error("Shape: rank exceeds MAX_RANK");
}

Shape::Shape(std::span<const std::size_t> extents) {
  check_rank(extents.size());
  const std::size_t rank = extents.size();
  // `stride` runs through the contiguous strides from the last dimension
  // outwards; the element count is the outermost stride times the first extent.
  std::size_t stride = 1;
  for (std::size_t i = rank; i-- > 0;) {
    extents_[i] = extents[i];
    if (i > 0 && mul_overflow(stride, extents[i], &stride)) {
      throw std::length_error("Shape: stride exceeds the uint64 range");
    }
  }
  constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
  std::size_t count = stride;
  if (rank > 0 && (mul_overflow(stride, extents[0], &count) || count > limit)) {
    throw std::length_error("Shape: element count exceeds the int64 range");
  }
  rank_ = static_cast<std::uint8_t>(rank);
  if constexpr (CHECK_INVARIANTS) expect_kept(broken_invariant(*this));
}

const char* broken_invariant(const Shape& shape) {
  if (shape.rank_ > MAX_RANK) return "Shape: rank exceeds MAX_RANK";
  for (std::size_t i = shape.rank_; i < MAX_RANK; ++i) {
    if (shape.extents_[i] != 0) return "Shape: an entry past the rank is not zero";
  }
  return nullptr;
}

// Unsigned, so that a zero extent after a pair of large ones, which the
// constructor accepts, wraps harmlessly on its way to 0 instead of overflowing.
std::int64_t Shape::numel() const {
  std::size_t n = 1;
  for (std::uint8_t i = 0; i < rank_; ++i) n *= extents_[i];
  return static_cast<std::int64_t>(n);
}

std::vector<std::size_t> Shape::to_vector() const {
  return {extents_.begin(), extents_.begin() + rank_};
}

Shape contiguous_strides(const Shape& shape) {
  Shape strides;
  strides.rank_ = shape.rank_;
  std::size_t running = 1;
  for (std::size_t i = shape.rank_; i-- > 0;) {
    strides.extents_[i] = running;
    running *= shape.extents_[i];
  }
  return strides;
}

bool is_contiguous(const Shape& shape, const Shape& strides) {
  if (shape.rank() != strides.rank()) return false;
  std::size_t expected = 1;
  for (int i = shape.rank() - 1; i >= 0; --i) {
    if (shape[i] == 1) continue;
    if (strides[i] != expected) return false;
    expected *= shape[i];
  }
  return true;
}

}  // namespace tolvane
