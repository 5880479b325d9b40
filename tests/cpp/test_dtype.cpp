#include <gtest/gtest.h>

#include <stdexcept>

#include "core/dtype.h"
#include "test_helpers.h"

namespace tolvane {
namespace {

TEST(Dtype, SizesAndNames) {
  struct Case {
    Dtype dtype;
    std::size_t size;
    const char* name;
  };
  for (const Case& c : {Case{Dtype::FLOAT32, 4, "fp32"}, Case{Dtype::INT32, 4, "i32"},
                        Case{Dtype::FLOAT64, 8, "f64"}, Case{Dtype::INT64, 8, "i64"}}) {
    EXPECT_EQ(dtype_size(c.dtype), c.size);
    EXPECT_STREQ(dtype_name(c.dtype), c.name);
  }
}

TEST(Dtype, UnknownValuesAreRefused) {
  for (int v : {4, 7, 255}) {
    const auto d = static_cast<Dtype>(v);
    expect_throw<std::invalid_argument>([d] { dtype_size(d); }, "Unsupported Dtype");
    expect_throw<std::invalid_argument>([d] { dtype_name(d); }, "Unsupported Dtype");
  }
}

TEST(Device, Names) {
  EXPECT_STREQ(device_name(Device::CPU), "cpu");
  EXPECT_STREQ(device_name(Device::CUDA), "cuda");
  EXPECT_STREQ(device_name(Device::HIP), "hip");
  for (int v : {3, -1}) {
    expect_throw<std::invalid_argument>([v] { device_name(static_cast<Device>(v)); },
                                        "Unsupported device");
  }
}

static_assert(sizeof(Dtype) == 1);
static_assert(sizeof(Device) == 4);

}  // namespace
}  // namespace tolvane
