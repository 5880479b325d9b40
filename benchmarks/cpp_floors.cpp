// C++ floors for the benchmark table: what the machine itself charges for the
// allocations, hash-map work and memory fills that tolvane's operations need.

#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>
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
