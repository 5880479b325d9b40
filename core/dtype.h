#pragma once

// Element types and devices.
//
// `Dtype` is one byte and `Device` four; both may hold values that name no
// enumerator (they arrive from Python as plain integers). The lookups below
// are the only places that interpret the values, and they refuse unknown ones
// with std::invalid_argument.

#include <cstddef>
#include <cstdint>

namespace tolvane {

enum class Dtype : std::uint8_t { FLOAT32 = 0, INT32 = 1, FLOAT64 = 2, INT64 = 3 };

enum class Device : std::int32_t { CPU = 0, CUDA = 1, HIP = 2 };

// Element size in bytes: 4 or 8.
std::size_t dtype_size(Dtype dtype);

// Short names ("fp32", "i32", "f64", "i64"; "cpu", "cuda", "hip"), static
// texts that live as long as the process.
const char* dtype_name(Dtype dtype);
const char* device_name(Device device);

}  // namespace tolvane
