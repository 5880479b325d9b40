#include "core/dtype.h"

#include <stdexcept>

namespace tolvane {

namespace {

[[noreturn]] void unsupported_dtype() { throw std::invalid_argument("Unsupported Dtype"); }

}  // namespace

std::size_t dtype_size(Dtype dtype) {
  switch (dtype) {
    case Dtype::FLOAT32:
    case Dtype::INT32:
      return 4;
    case Dtype::FLOAT64:
    case Dtype::INT64:
      return 8;
  }
  unsupported_dtype();
}

const char* dtype_name(Dtype dtype) {
  switch (dtype) {
    case Dtype::FLOAT32:
      return "fp32";
    case Dtype::INT32:
      return "i32";
    case Dtype::FLOAT64:
      return "f64";
    case Dtype::INT64:
      return "i64";
  }
  unsupported_dtype();
}

const char* device_name(Device device) {
  switch (device) {
    case Device::CPU:
      return "cpu";
    case Device::CUDA:
      return "cuda";
    case Device::HIP:
      return "hip";
  }
  throw std::invalid_argument("Unsupported device");
}

}  // namespace tolvane
