#pragma once

// Element types and devices: one table for each enumeration.
//
// `Dtype` is one byte and `Device` four; both may hold values that name no
// enumerator (they arrive from Python as plain integers). Everything the
// library knows about an element type (its C++ type, hence its size and its
// "one"; its names) is a row of DTYPE_TABLE, and every lookup goes through
// that table, refusing a value without a row with std::invalid_argument. A
// new element type is a new enumerator and a new row; the size, the names,
// the fill of `ones` and the Python members follow from the row.
//
//   dtype_size(Dtype::FLOAT64);                       // 8
//   visit_dtype(dtype, [](const auto& row) {          // code typed by the row
//     using T = element_t<decltype(row)>; ... });
//
// Devices carry no type, so their table is a plain array.

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tolvane {

enum class Dtype : std::uint8_t { FLOAT32 = 0, INT32 = 1, FLOAT64 = 2, INT64 = 3 };

enum class Device : std::int32_t { CPU = 0, CUDA = 1, HIP = 2 };

// A row of an enumeration's table: the enumerator, its name as written in
// code ("FLOAT32", also the Python member) and its short name ("fp32").
template <typename Enum>
struct EnumRow {
  Enum value;
  const char* enumerator;
  const char* name;
};

// A row of DTYPE_TABLE: the element's C++ type is `type`.
template <typename T>
struct DtypeRow : EnumRow<Dtype> {
  using type = T;
};

// In enumerator order: row i describes the Dtype of value i.
inline constexpr std::tuple DTYPE_TABLE{
    DtypeRow<float>{{Dtype::FLOAT32, "FLOAT32", "fp32"}},
    DtypeRow<std::int32_t>{{Dtype::INT32, "INT32", "i32"}},
    DtypeRow<double>{{Dtype::FLOAT64, "FLOAT64", "f64"}},
    DtypeRow<std::int64_t>{{Dtype::INT64, "INT64", "i64"}},
};

inline constexpr std::array DEVICE_TABLE{
    EnumRow<Device>{Device::CPU, "CPU", "cpu"},
    EnumRow<Device>{Device::CUDA, "CUDA", "cuda"},
    EnumRow<Device>{Device::HIP, "HIP", "hip"},
};

// The C++ element type of a DTYPE_TABLE row (of any reference to one).
template <typename Row>
using element_t = typename std::remove_cvref_t<Row>::type;

inline constexpr std::size_t DTYPE_COUNT = std::tuple_size_v<decltype(DTYPE_TABLE)>;

// Calls `f(row)` for every row of DTYPE_TABLE, in order.
template <typename F>
constexpr void for_each_dtype(F&& f) {
  std::apply([&f](const auto&... row) { (f(row), ...); }, DTYPE_TABLE);
}

// Calls `f(row)` for every row of DEVICE_TABLE, in order.
template <typename F>
constexpr void for_each_device(F&& f) {
  for (const auto& row : DEVICE_TABLE) f(row);
}

// Whether `dtype` has a row.
constexpr bool is_known_dtype(Dtype dtype) { return static_cast<std::size_t>(dtype) < DTYPE_COUNT; }

// Throws std::invalid_argument "Unsupported Dtype".
[[noreturn]] void unsupported_dtype();

// Calls `f(row)` with the row of `dtype`; throws std::invalid_argument
// "Unsupported Dtype" for a value without a row.
template <typename F>
void visit_dtype(Dtype dtype, F&& f) {
  if (!is_known_dtype(dtype)) unsupported_dtype();
  const auto index = static_cast<std::size_t>(dtype);
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (void)((index == I && (f(std::get<I>(DTYPE_TABLE)), true)) || ...);
  }(std::make_index_sequence<DTYPE_COUNT>{});
}

// Element size in bytes: 4 or 8.
std::size_t dtype_size(Dtype dtype);

// Short names ("fp32", "i32", "f64", "i64"; "cpu", "cuda", "hip"), static
// texts that live as long as the process.
const char* dtype_name(Dtype dtype);
const char* device_name(Device device);

}  // namespace tolvane
