#include <cstdio>

#include "core/tensor.h"
#include "graph/ops.h"

int main() {
  using namespace tolvane;
  const Tensor a = Tensor::ones(Shape({2, 3}), Dtype::FLOAT32, Device::CPU);
  const Tensor c = add(a, a);  // recorded, not computed
  std::printf("c: %zu bytes, allocated %d\n", c.nbytes(), c.allocated());
  execute(c);  // attaches c's memory; computes no values
  std::printf("after execute: allocated %d\n", c.allocated());
  return c.allocated() ? 0 : 1;
}
