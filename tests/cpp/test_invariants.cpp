#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/invariants.h"
#include "core/tensor.h"
#include "graph/graph.h"
#include "graph/ops.h"

namespace tolvane {
namespace {

using V = std::vector<std::size_t>;
using D = std::vector<std::int64_t>;

std::string text(const char* broken) { return broken == nullptr ? "kept" : broken; }

// A record over a storage of `storage_numel` FLOAT32 elements.
TensorImpl record(std::int64_t storage_numel, V shape, V strides, std::size_t offset = 0) {
  TensorImpl r(Shape(V{static_cast<std::size_t>(storage_numel)}), Dtype::FLOAT32, Device::CPU,
               false);
  r.shape = Shape(shape);
  r.strides = Shape(strides);
  r.offset = offset;
  return r;
}

TEST(RecordInvariants, KeptByEveryRecordTheLibraryMakes) {
  const Tensor t = Tensor::ones(Shape(V{2, 3}), Dtype::INT64, Device::CPU);
  const Tensor strided(std::make_shared<TensorImpl>(record(6, {3, 2}, {1, 3})));
  strided.ensure_allocated();
  for (const Tensor& made :
       {t, Tensor::zeros(Shape(), Dtype::FLOAT64, Device::CPU),
        Tensor(Shape(V{2, 0, 3}), Dtype::INT32, Device::CUDA, false), t.view(D{3, -1}),
        t.reshape(D{-1}), strided.contiguous(), strided.reshape(D{6}), add(t, t)}) {
    EXPECT_EQ(text(broken_invariant(*made.impl())), "kept");
  }
}

TEST(RecordInvariants, EachBrokenOneIsNamed) {
  const std::string beyond = "TensorImpl: an element lies beyond the storage";
  TensorImpl moved = record(6, {2, 3}, {3, 1});
  const TensorImpl taken = std::move(moved);
  struct Case {
    TensorImpl record;
    std::string broken;
  };
  const Case cases[] = {
      {taken, "kept"},
      {moved, "TensorImpl: no storage"},  // NOLINT(bugprone-use-after-move)
      {record(6, {2, 3}, {1}), "TensorImpl: strides and shape differ in rank"},
      {record(8, {2, 3}, {3, 1}, 2), "kept"},  // the last element is storage element 7
      {record(8, {2, 3}, {3, 1}, 3), beyond},
      {record(6, {2, 3}, {4, 1}), beyond},
      {record(6, {3, 1}, {1, 1000}), "kept"},  // a stride of an extent 1 addresses nothing
      {record(6, {5, 2}, {std::size_t{1} << 62U, 1}), beyond},  // the step overflows
      {record(6, {2, 1}, {1, 1}, SIZE_MAX), beyond},            // the offset overflows
      {record(0, {0, 3}, {99, 99}, 5), "kept"},                 // no element at all
  };
  for (const Case& c : cases) EXPECT_EQ(text(broken_invariant(c.record)), c.broken);
}

// Shape's bytes: its extents, then its rank.
struct ShapeBytes {
  std::size_t extents[MAX_RANK];
  std::uint8_t rank;
};
static_assert(std::is_trivially_copyable_v<Shape> && sizeof(ShapeBytes) == sizeof(Shape));

Shape shape_from(const ShapeBytes& bytes) {
  Shape shape;
  std::memcpy(static_cast<void*>(&shape), &bytes, sizeof shape);
  return shape;
}

TEST(ShapeInvariants, RankAndTheZerosPastIt) {
  const std::string past = "Shape: an entry past the rank is not zero";
  struct Case {
    ShapeBytes bytes;
    std::string broken;
  };
  const Case cases[] = {
      {{{2, 3, 0, 0}, 2}, "kept"}, {{{0, 0, 0, 0}, 0}, "kept"},
      {{{2, 3, 4, 5}, 4}, "kept"}, {{{2, 3, 7, 0}, 2}, past},
      {{{9, 0, 0, 0}, 0}, past},   {{{1, 1, 1, 1}, 5}, "Shape: rank exceeds MAX_RANK"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text(broken_invariant(shape_from(c.bytes))), c.broken);
    TensorImpl r = record(6, {6}, {1});
    r.strides = shape_from(c.bytes);
    if (c.broken != "kept") {
      EXPECT_EQ(text(broken_invariant(r)), c.broken);
    }
  }
  for (const Shape& made : {Shape(), Shape(V{2, 3}), contiguous_strides(Shape(V{4, 0, 2}))}) {
    EXPECT_EQ(text(broken_invariant(made)), "kept");
  }
}

TEST(RecordInvariants, DebugBuildsEndOnABrokenRecord) {
  if (!CHECK_INVARIANTS) GTEST_SKIP() << "release build: records are not checked when made";
  EXPECT_DEATH(Tensor(std::make_shared<TensorImpl>(record(6, {2, 3}, {4, 1}))),
               "tolvane: invariant broken: TensorImpl: an element lies beyond the storage");
}

Tensor lazy_add(Graph& graph, std::vector<Tensor> inputs) {
  const Tensor& first = inputs.front();
  Tensor out(first.shape(), first.dtype(), first.device(), false);
  graph.add_node("ADD", OpKind::ADD, std::move(inputs), out);
  return out;
}

TEST(GraphInvariants, KeptByRandomGraphsAndTheirOrders) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 50; ++round) {
    Graph graph;
    std::vector<Tensor> pool;
    for (int i = 0; i < 3; ++i) pool.emplace_back(Shape(V{2}), Dtype::FLOAT32, Device::CPU);
    for (int i = std::uniform_int_distribution<int>(1, 40)(rng); i > 0; --i) {
      std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
      std::vector<Tensor> inputs;
      for (int k = std::uniform_int_distribution<int>(1, 3)(rng); k > 0; --k) {
        inputs.push_back(pool[pick(rng)]);
      }
      pool.push_back(lazy_add(graph, std::move(inputs)));
    }
    // A later node may take over the registration of an earlier result.
    graph.add_node("ADD", OpKind::ADD, {pool[0]}, pool.back());
    EXPECT_EQ(text(broken_invariant(graph)), "kept");
    for (const Tensor& t : pool) {
      EXPECT_EQ(text(broken_invariant(graph, t, execution_order(graph, t))), "kept");
    }
  }
}

TEST(GraphInvariants, BrokenOrdersAndForeignNodesAreNamed) {
  Graph graph;
  const Tensor a(Shape(V{2}), Dtype::FLOAT32, Device::CPU);
  const Tensor c = lazy_add(graph, {a, a});
  const Tensor d = lazy_add(graph, {c, a});
  const Tensor e = lazy_add(graph, {c, d});
  const Node* nc = graph.find_producer(c);
  const Node* nd = graph.find_producer(d);
  const Node* ne = graph.find_producer(e);
  const std::string not_last = "execute: the producer of the output is not last";
  const std::string early = "execute: a node comes before the producer of an input";
  struct Case {
    Tensor output;
    std::vector<const Node*> order;
    std::string broken;
  };
  const Case cases[] = {
      {e, {nc, nd, ne}, "kept"},   {a, {}, "kept"},
      {a, {nc}, not_last},         {e, {}, not_last},
      {e, {nc, ne, nd}, not_last}, {e, {nd, nc, ne}, early},
      {e, {nd, ne}, early},        {e, {nc, nc, nd, ne}, "execute: a node comes twice"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text(broken_invariant(graph, c.output, c.order)), c.broken);
  }

  Graph other;
  EXPECT_EQ(text(broken_invariant(other, *nc)), "Graph: a node is not the graph's node at its id");
  // Nodes of another graph: one whose id this graph has, one whose id it does not.
  Graph larger;
  Tensor x = lazy_add(larger, {a, a});
  const Node* low = larger.find_producer(x);
  for (int i = 0; i < 5000; ++i) x = lazy_add(larger, {x, a});
  const Node* high = larger.find_producer(x);
  for (const Node* foreign : {low, high}) {
    const std::vector<const Node*> order{foreign, nc, nd, ne};
    EXPECT_EQ(text(broken_invariant(graph, e, order)), "execute: a node is not the graph's");
  }
}

}  // namespace
}  // namespace tolvane
