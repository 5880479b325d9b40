// Using the tensor core and the lazy graph from C++, without Python.

#include <cstdio>

#include "core/tensor.h"
#include "graph/ops.h"

int main() {
  using namespace tolvane;
  const Tensor a = Tensor::ones(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
  const Tensor b = Tensor::zeros(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
  const Tensor c = add(a, b);
  std::printf("c: %lld elements, %zu bytes, allocated %d\n", static_cast<long long>(c.numel()),
              c.nbytes(), c.allocated());
  execute(c);
  std::printf("after execute: allocated %d\n", c.allocated());
  return c.allocated() ? 0 : 1;
}
