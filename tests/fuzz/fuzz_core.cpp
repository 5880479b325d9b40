// libFuzzer target over the tensor core and the lazy graph: the input bytes
// are decoded into shapes, dims, dtype and device values and a sequence of
// calls. Every call must either succeed with the tensor invariants intact or
// throw one of the documented exception types; anything else aborts.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <vector>

#include "core/tensor.h"
#include "graph/graph.h"
#include "graph/ops.h"

namespace {

using namespace tolvane;

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;

  std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
  std::uint64_t word() {
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = (w << 8U) | byte();
    return w;
  }
  // Mostly small values, sometimes any 64-bit value.
  std::uint64_t extent() {
    const std::uint8_t b = byte();
    return (b & 0x80U) != 0 ? word() : b & 0x7FU;
  }
  std::int64_t dim() {
    const std::uint8_t b = byte();
    if ((b & 0xC0U) == 0xC0U) return static_cast<std::int64_t>(word());
    return static_cast<std::int64_t>(b & 0x3FU) - 2;  // -2 .. 61
  }
  bool done() const { return pos >= size; }
};

void check(bool ok) {
  if (!ok) std::abort();
}

void check_invariants(const Tensor& t) {
  check(broken_invariant(*t.impl()) == nullptr);
  // Every record the library makes is contiguous from offset 0.
  check(t.strides() == contiguous_strides(t.shape()));
  check(t.offset() == 0);
  if (is_known_dtype(t.dtype())) {
    check(t.nbytes() == static_cast<std::size_t>(t.numel()) * dtype_size(t.dtype()));
  }
}

// Allocating more than this per tensor is skipped to keep runs fast.
constexpr std::size_t MAX_BYTES = std::size_t{1} << 20;

void run(Input& in) {
  std::vector<Tensor> pool;
  int adds = 0;
  while (!in.done() && pool.size() < 16) {
    const std::uint8_t op = in.byte() % 8;
    try {
      if (op <= 2 || pool.empty()) {
        std::vector<std::size_t> extents(in.byte() % 6);
        for (auto& e : extents) e = in.extent();
        const Shape shape(extents);
        const auto dtype = static_cast<Dtype>(in.byte() % (DTYPE_COUNT + 2));
        const auto device = static_cast<Device>(static_cast<std::int8_t>(in.byte()) % 4);
        bool allocate = (in.byte() & 1U) != 0;
        const std::size_t numel = static_cast<std::size_t>(shape.numel());
        if (allocate && numel > MAX_BYTES / 8) allocate = false;
        if (op == 0 || !allocate) {
          pool.emplace_back(shape, dtype, device, allocate);
        } else {
          pool.push_back(op == 1 ? Tensor::zeros(shape, dtype, device)
                                 : Tensor::ones(shape, dtype, device));
        }
        check_invariants(pool.back());
        continue;
      }
      const Tensor a = pool[in.byte() % pool.size()];  // a copy: pool may grow
      const bool was_allocated = a.allocated();
      if (op == 3 && adds < 4) {
        ++adds;
        const Tensor b = pool[in.byte() % pool.size()];
        const Tensor c = add(a, b);
        check(c.shape() == a.shape());
        check(c.nbytes() == 0 || !c.allocated());
        const Node* node = Graph::instance().find_producer(c);
        check(node != nullptr && broken_invariant(Graph::instance(), *node) == nullptr);
        pool.push_back(c);
      } else if (op == 4 || op == 5) {
        std::vector<std::int64_t> dims(in.byte() % 6);
        for (auto& d : dims) d = in.dim();
        const Tensor v = op == 4 ? a.view(dims) : a.reshape(dims);
        check(v.numel() == a.numel());
        check(v.impl()->storage == a.impl()->storage);
        check(v.allocated() == a.allocated());
        check_invariants(v);
        pool.push_back(v);
      } else if (op == 6) {
        const Tensor c = a.contiguous();
        check(c.impl() == a.impl());
      } else {
        if (a.nbytes() <= MAX_BYTES) {
          execute(a);
          const Graph& graph = Graph::instance();
          check(broken_invariant(graph, a, execution_order(graph, a)) == nullptr);
        }
      }
      check(!was_allocated || a.allocated());  // allocation never goes back
    } catch (const std::invalid_argument&) {
    } catch (const std::length_error&) {
    } catch (const std::logic_error&) {
    } catch (const std::runtime_error&) {
    } catch (const std::bad_alloc&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  run(in);
  return 0;
}
