// C++ floors for the benchmark table: what the machine itself charges for the
// allocations, hash-map work and memory fills that tolvane's operations need.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/storage.h"
#include "core/tensor.h"

namespace {

// malloc and free of one block of the given size (the records' sizes with
// their shared-ownership counts are passed as arguments).
void malloc_free(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    void* p = std::malloc(size);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}
BENCHMARK(malloc_free)
    ->Arg(sizeof(tolvane::TensorImpl) + 16)
    ->Arg(sizeof(tolvane::Storage) + 16)
    ->Arg(sizeof(tolvane::Buffer) + 16);

constexpr std::size_t MAP_ENTRIES = 1'000'000;

std::vector<std::unique_ptr<int>> keys() {
  std::vector<std::unique_ptr<int>> k(MAP_ENTRIES);
  for (auto& p : k) p = std::make_unique<int>(0);
  return k;
}

void map_insert(benchmark::State& state) {
  const auto k = keys();
  for (auto _ : state) {
    std::unordered_map<const void*, const void*> map;
    for (const auto& p : k) map.emplace(p.get(), p.get());
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * MAP_ENTRIES));
}
BENCHMARK(map_insert)->Unit(benchmark::kMillisecond);

void map_lookup(benchmark::State& state) {
  const auto k = keys();
  std::unordered_map<const void*, const void*> map;
  for (const auto& p : k) map.emplace(p.get(), p.get());
  for (auto _ : state) {
    for (const auto& p : k) benchmark::DoNotOptimize(map.find(p.get()));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * MAP_ENTRIES));
}
BENCHMARK(map_lookup)->Unit(benchmark::kMillisecond);

// The execute floor: per node one lookup in a map of 10^6 entries, one
// insert into a fresh set and one small allocation, for a walk of n nodes.
void execute_floor(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto k = keys();
  std::unordered_map<const void*, const void*> map;
  for (const auto& p : k) map.emplace(p.get(), p.get());
  std::vector<void*> blocks(n);
  for (auto _ : state) {
    std::unordered_set<const void*> visited;
    for (std::size_t i = 0; i < n; ++i) {
      const void* node = map.find(k[i].get())->second;
      visited.insert(node);
      blocks[i] = std::malloc(24);
    }
    benchmark::DoNotOptimize(visited.size());
    state.PauseTiming();
    for (void* b : blocks) std::free(b);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(execute_floor)
    ->RangeMultiplier(10)
    ->Range(1000, 1'000'000)
    ->Unit(benchmark::kMicrosecond);

// The plain walk that execute describes, over the graphs the benchmark
// records from Python: records and nodes allocated one by one in recording
// order, producers in a std::unordered_map, then per execute an explicit
// stack, a std::unordered_set of visited nodes, the post-order, and one
// 8-aligned malloc for each node's result.
struct WalkRecord {
  std::array<std::byte, sizeof(tolvane::TensorImpl)> payload{};
  void* data = nullptr;
};

struct WalkNode {
  const WalkRecord* inputs[2];
  WalkRecord* output;
};

class WalkGraph {
 public:
  WalkRecord* leaf() { return records_.emplace_back(std::make_unique<WalkRecord>()).get(); }

  WalkRecord* add(const WalkRecord* a, const WalkRecord* b) {
    WalkRecord* out = leaf();
    nodes_.push_back(std::make_unique<WalkNode>(WalkNode{{a, b}, out}));
    producers_.emplace(out, nodes_.back().get());
    return out;
  }

  void execute(const WalkRecord* output) {
    struct Frame {
      const WalkNode* node;
      int next;
    };
    std::vector<const WalkNode*> order;
    const auto root = producers_.find(output);
    if (root != producers_.end()) {
      std::unordered_set<const WalkNode*> visited{root->second};
      std::vector<Frame> stack{{root->second, 0}};
      while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == 2) {
          order.push_back(top.node);
          stack.pop_back();
          continue;
        }
        const auto it = producers_.find(top.node->inputs[top.next++]);
        if (it != producers_.end() && visited.insert(it->second).second) {
          stack.push_back({it->second, 0});
        }
      }
    }
    for (const WalkNode* node : order) {
      if (node->output->data == nullptr) node->output->data = std::aligned_alloc(8, 8);
    }
  }

  // Detaches the results, as before the first execute. They stay allocated
  // until the graph goes, as the graph keeps every result: a freed block
  // would serve the next execute from the allocator's caches, which no
  // execute of fresh results can do.
  void reset() {
    for (const auto& r : records_) {
      if (r->data != nullptr) kept_.push_back(std::exchange(r->data, nullptr));
    }
  }

  ~WalkGraph() {
    for (void* block : kept_) std::free(block);
  }

  std::size_t nodes() const { return nodes_.size(); }

 private:
  std::vector<std::unique_ptr<WalkRecord>> records_;
  std::vector<std::unique_ptr<WalkNode>> nodes_;
  std::unordered_map<const WalkRecord*, const WalkNode*> producers_;
  std::vector<void*> kept_;
};

void time_walk(benchmark::State& state, WalkGraph& graph, const WalkRecord* output) {
  for (auto _ : state) {
    graph.execute(output);
    state.PauseTiming();
    graph.reset();
    state.ResumeTiming();
  }
  state.counters["nodes"] = static_cast<double>(graph.nodes());
}

// x = x + b, n times.
void walk_chain(benchmark::State& state) {
  WalkGraph graph;
  const WalkRecord* b = graph.leaf();
  const WalkRecord* x = graph.leaf();
  for (std::int64_t i = 0; i < state.range(0); ++i) x = graph.add(x, b);
  time_walk(state, graph, x);
}
// Fixed repeats: the results of every repeat are kept, as the graph keeps them.
BENCHMARK(walk_chain)->Arg(1000)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(walk_chain)->Arg(10'000)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(walk_chain)->Arg(100'000)->Iterations(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(walk_chain)->Arg(1'000'000)->Iterations(3)->Unit(benchmark::kMicrosecond);

// A balanced binary tree over 2^levels leaves, added level by level.
void walk_tree(benchmark::State& state) {
  WalkGraph graph;
  std::vector<const WalkRecord*> level(std::size_t{1} << state.range(0));
  for (auto& r : level) r = graph.leaf();
  while (level.size() > 1) {
    std::vector<const WalkRecord*> next;
    for (std::size_t i = 0; i < level.size(); i += 2)
      next.push_back(graph.add(level[i], level[i + 1]));
    level = std::move(next);
  }
  time_walk(state, graph, level.front());
}
BENCHMARK(walk_tree)->Arg(10)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(walk_tree)->Arg(17)->Iterations(5)->Unit(benchmark::kMicrosecond);

// Each node adds the two previous results.
void walk_fibonacci(benchmark::State& state) {
  WalkGraph graph;
  const WalkRecord* a = graph.leaf();
  const WalkRecord* b = graph.leaf();
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    const WalkRecord* c = graph.add(a, b);
    a = b;
    b = c;
  }
  time_walk(state, graph, b);
}
BENCHMARK(walk_fibonacci)->Arg(1000)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(walk_fibonacci)->Arg(1 << 17)->Iterations(5)->Unit(benchmark::kMicrosecond);

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
