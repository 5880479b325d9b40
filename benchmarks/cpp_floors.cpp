// C++ floors for the benchmark tables: execute's walk under tolvane's own data
// model at its best (physical_*), and fills of fresh memory (fresh_fill_*).

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "core/storage.h"
#include "core/tensor.h"

namespace {

// Keeps freed heap memory in the process and touches `bytes` of it, so that
// the allocations that follow take pages that are already mapped: what a
// run "with the heap pre-faulted" measures.
void prefault_heap(std::size_t bytes) {
  constexpr std::size_t BLOCK = std::size_t{1} << 16;  // below the mmap threshold
  mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
  std::vector<void*> blocks;
  for (std::size_t done = 0; done < bytes; done += BLOCK) {
    blocks.push_back(std::malloc(BLOCK));
    std::memset(blocks.back(), 0, BLOCK);
  }
  for (void* block : blocks) std::free(block);
}

// The physical floor of execute under tolvane's own data model: nodes by id
// in one vector, each node's inputs stored as its producers' ids (no
// hashing), a bit set of visited ids, an explicit stack, and each result's
// Storage, reached through its TensorImpl, given a Buffer record in shared
// ownership plus its own 8-aligned block. Nothing is freed.
class PhysicalGraph {
 public:
  static constexpr std::int32_t LEAF = -1;

  std::int32_t add(std::int32_t a, std::int32_t b) {
    nodes_.push_back({{a, b},
                      std::make_shared<tolvane::TensorImpl>(SHAPE, tolvane::Dtype::FLOAT32,
                                                            tolvane::Device::CPU, false)});
    return static_cast<std::int32_t>(nodes_.size() - 1);
  }

  // Kept out of line: callgrind counts this function alone.
  [[gnu::noinline]] void execute(std::int32_t root) {
    struct Frame {
      std::int32_t id;
      int next;
    };
    std::vector<std::uint64_t> visited((nodes_.size() + 63) / 64);
    const auto visit = [&visited](std::int32_t id) {
      std::uint64_t& word = visited[static_cast<std::size_t>(id) >> 6U];
      const std::uint64_t bit = std::uint64_t{1} << (static_cast<std::uint32_t>(id) & 63U);
      const bool fresh = (word & bit) == 0;
      word |= bit;
      return fresh;
    };
    std::vector<std::int32_t> order;
    std::vector<Frame> stack{{root, 0}};
    visit(root);
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next == 2) {
        order.push_back(top.id);
        stack.pop_back();
        continue;
      }
      const std::int32_t producer = nodes_[static_cast<std::size_t>(top.id)].producers[top.next++];
      if (producer != LEAF && visit(producer)) stack.push_back({producer, 0});
    }
    for (const std::int32_t id : order) {
      nodes_[static_cast<std::size_t>(id)].output->storage->ensure_allocated();
    }
  }

  std::size_t nodes() const { return nodes_.size(); }

 private:
  inline static const tolvane::Shape SHAPE{std::vector<std::size_t>{2}};

  struct Node {
    std::int32_t producers[2];
    std::shared_ptr<tolvane::TensorImpl> output;
  };
  std::vector<Node> nodes_;
};

// The three graphs of the Python cases, as producer ids.
PhysicalGraph physical_chain(std::int64_t n) {
  PhysicalGraph graph;
  std::int32_t x = PhysicalGraph::LEAF;
  for (std::int64_t i = 0; i < n; ++i) x = graph.add(x, PhysicalGraph::LEAF);
  return graph;
}

PhysicalGraph physical_tree(std::int64_t levels) {
  PhysicalGraph graph;
  std::vector<std::int32_t> level(std::size_t{1} << levels, PhysicalGraph::LEAF);
  while (level.size() > 1) {
    std::vector<std::int32_t> next;
    for (std::size_t i = 0; i < level.size(); i += 2)
      next.push_back(graph.add(level[i], level[i + 1]));
    level = std::move(next);
  }
  return graph;
}

PhysicalGraph physical_fibonacci(std::int64_t n) {
  PhysicalGraph graph;
  std::int32_t a = PhysicalGraph::LEAF;
  std::int32_t b = PhysicalGraph::LEAF;
  for (std::int64_t i = 0; i < n; ++i) a = std::exchange(b, graph.add(a, b));
  return graph;
}

std::int64_t minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Each repeat executes a graph recorded afresh (a result is allocated once),
// kept to the end; the last node is the output. With range(1) set, the heap is pre-faulted
// first. Counters per node: page faults and heap bytes taken.
template <PhysicalGraph (*Make)(std::int64_t)>
void physical(benchmark::State& state) {
  double faults = 0, heap = 0, nodes = 0;
  std::vector<PhysicalGraph> kept;  // as the graph keeps every result
  for (auto _ : state) {
    state.PauseTiming();
    PhysicalGraph& graph = kept.emplace_back(Make(state.range(0)));
    if (state.range(1) != 0) prefault_heap(graph.nodes() * 128);
    const std::int64_t faults_before = minor_faults();
    const std::size_t heap_before = heap_in_use();
    state.ResumeTiming();
    graph.execute(static_cast<std::int32_t>(graph.nodes() - 1));
    state.PauseTiming();
    faults += static_cast<double>(minor_faults() - faults_before);
    heap += static_cast<double>(heap_in_use() - heap_before);
    nodes += static_cast<double>(graph.nodes());
    state.ResumeTiming();
  }
  state.counters["nodes"] = nodes / static_cast<double>(state.iterations());
  state.counters["faults_per_node"] = faults / nodes;
  state.counters["heap_bytes_per_node"] = heap / nodes;
}
BENCHMARK(physical<physical_chain>)
    ->Name("physical_chain")
    ->ArgsProduct({{1000, 10'000, 100'000, 1'000'000}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(physical<physical_tree>)
    ->Name("physical_tree")
    ->ArgsProduct({{10, 17}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(physical<physical_fibonacci>)
    ->Name("physical_fibonacci")
    ->ArgsProduct({{1000, 1 << 17}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMicrosecond);

constexpr std::size_t FILL_BYTES = std::size_t{256} << 20;

// A fresh aligned block of 256 MiB (huge pages asked for), then a fill.
template <bool Zero>
void fresh_fill(benchmark::State& state) {
  for (auto _ : state) {
    void* p = std::aligned_alloc(std::size_t{2} << 20, FILL_BYTES);
    madvise(p, FILL_BYTES, MADV_HUGEPAGE);
    if constexpr (Zero) {
      std::memset(p, 0, FILL_BYTES);
    } else {
      std::fill_n(static_cast<float*>(p), FILL_BYTES / sizeof(float), 1.0f);
    }
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
    std::free(p);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FILL_BYTES));
}
BENCHMARK(fresh_fill<true>)->Name("fresh_fill_zero")->Unit(benchmark::kMillisecond);
BENCHMARK(fresh_fill<false>)->Name("fresh_fill_ones")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
