#pragma once

// Shape: a fixed-capacity list of at most MAX_RANK unsigned 64-bit extents.
//
// One record serves both as the dimensions of a tensor and as its strides
// (counted in elements). It lives inline (on the stack, inside TensorImpl) and
// never touches the heap. Entries from `rank()` up to MAX_RANK are always zero.
//
// Construction from a list refuses more than MAX_RANK entries, an element
// count beyond int64 and a contiguous stride beyond uint64, so `numel()` and
// `contiguous_strides()` of any Shape built from a list are exact. A zero
// extent makes the count 0 whatever the others are; the strides in front of
// it are still checked, since they are products of the extents behind them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tolvane {

inline constexpr std::uint8_t MAX_RANK = 4;

// Throws std::length_error "Shape: rank exceeds MAX_RANK" for `rank` > MAX_RANK.
void check_rank(std::size_t rank);

class Shape {
 public:
  Shape() = default;
  // Throws std::length_error beyond MAX_RANK entries, for an element count
  // beyond int64 and for a stride beyond uint64.
  explicit Shape(std::span<const std::size_t> extents);
  explicit Shape(const std::vector<std::size_t>& extents)
      : Shape(std::span<const std::size_t>(extents)) {}

  std::uint8_t rank() const { return rank_; }
  // Unchecked: callers keep 0 <= index < rank().
  std::size_t operator[](int index) const { return extents_[static_cast<std::size_t>(index)]; }

  // Product of the extents; 1 for rank 0.
  std::int64_t numel() const;
  std::vector<std::size_t> to_vector() const;

  friend bool operator==(const Shape&, const Shape&) = default;

 private:
  friend Shape contiguous_strides(const Shape& shape);
  friend const char* broken_invariant(const Shape& shape);

  std::array<std::size_t, MAX_RANK> extents_{};
  std::uint8_t rank_ = 0;
};

// The first invariant `shape` breaks, or null: its rank is at most MAX_RANK
// and the entries past its rank are zero (which `==` relies on).
const char* broken_invariant(const Shape& shape);

// Row-major strides of `shape`, in elements: the last is 1, each earlier one
// the product of all later extents.
Shape contiguous_strides(const Shape& shape);

// Whether `strides` are the row-major strides of `shape`, ignoring the stride
// of every extent equal to 1. Shapes and strides of different ranks never are.
bool is_contiguous(const Shape& shape, const Shape& strides);

}  // namespace tolvane
