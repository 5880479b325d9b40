#include "core/dtype.h"

#include <stdexcept>

namespace tolvane {

namespace {

// The lookups index the tables by value.
constexpr bool dtypes_in_value_order() {
  std::size_t i = 0;
  bool ordered = true;
  for_each_dtype(
      [&](const auto& row) { ordered = ordered && static_cast<std::size_t>(row.value) == i++; });
  return ordered;
}
static_assert(dtypes_in_value_order(), "DTYPE_TABLE rows are in enumerator order");

constexpr bool devices_in_value_order() {
  for (std::size_t i = 0; i < DEVICE_TABLE.size(); ++i) {
    if (static_cast<std::size_t>(DEVICE_TABLE[i].value) != i) return false;
  }
  return true;
}
static_assert(devices_in_value_order(), "DEVICE_TABLE rows are in enumerator order");

// One entry per row of DTYPE_TABLE: what `get` reads from the row.
template <typename Get>
constexpr auto dtype_column(Get get) {
  return std::apply([&get](const auto&... row) { return std::array{get(row)...}; }, DTYPE_TABLE);
}

constexpr auto DTYPE_SIZES =
    dtype_column([](const auto& row) { return sizeof(element_t<decltype(row)>); });
constexpr auto DTYPE_NAMES = dtype_column([](const auto& row) { return row.name; });

std::size_t known_index(Dtype dtype) {
  if (!is_known_dtype(dtype)) unsupported_dtype();
  return static_cast<std::size_t>(dtype);
}

}  // namespace

void unsupported_dtype() { throw std::invalid_argument("Unsupported Dtype"); }

std::size_t dtype_size(Dtype dtype) { return DTYPE_SIZES[known_index(dtype)]; }

const char* dtype_name(Dtype dtype) { return DTYPE_NAMES[known_index(dtype)]; }

const char* device_name(Device device) {
  const auto index = static_cast<std::uint32_t>(device);  // negative values wrap past the end
  if (index >= DEVICE_TABLE.size()) throw std::invalid_argument("Unsupported device");
  return DEVICE_TABLE[index].name;
}

}  // namespace tolvane
