#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

#include "graph/graph.h"
#include "graph/ops.h"
#include "test_helpers.h"

namespace tolvane {
namespace {

using V = std::vector<std::size_t>;

Tensor leaf(V shape = {2, 3}, Dtype dtype = Dtype::FLOAT32, Device device = Device::CPU) {
  return Tensor(Shape(shape), dtype, device);
}

Tensor lazy_like(const Tensor& t) { return Tensor(t.shape(), t.dtype(), t.device(), false); }

// Records `out = inputs...` on `graph` and returns `out`, through
// add_result_node (as add does) when `result`, else through add_node.
Tensor record(Graph& graph, std::vector<Tensor> inputs, bool result = false) {
  Tensor out = lazy_like(inputs.front());
  if (result) {
    graph.add_result_node(OpKind::ADD, std::move(inputs), out);
  } else {
    graph.add_node("ADD", OpKind::ADD, std::move(inputs), out);
  }
  return out;
}

// The recursive definition of the execution order, for reference.
std::vector<const Node*> reference_order(const Graph& graph, const Tensor& output) {
  std::vector<const Node*> order;
  std::unordered_set<const Node*> visited;
  std::function<void(const Node*)> visit = [&](const Node* node) {
    if (!visited.insert(node).second) return;
    for (const Tensor& in : node->inputs) {
      if (const Node* p = graph.find_producer(in)) visit(p);
    }
    order.push_back(node);
  };
  if (const Node* root = graph.find_producer(output)) visit(root);
  return order;
}

TEST(Graph, IdsAndProducers) {
  Graph graph;
  const Tensor a = leaf(), b = leaf();
  EXPECT_EQ(graph.find_producer(a), nullptr);
  const Tensor c = record(graph, {a, b});
  const Tensor d = record(graph, {a, b});
  const Node* nc = graph.find_producer(c);
  const Node* nd = graph.find_producer(d);
  ASSERT_NE(nc, nullptr);
  ASSERT_NE(nd, nullptr);
  EXPECT_EQ(nc->id, 0);
  EXPECT_EQ(nd->id, 1);
  EXPECT_EQ(nc->output.impl(), c.impl());
  EXPECT_EQ(nc->inputs[0].impl(), a.impl());
  EXPECT_EQ(nc->inputs[1].impl(), b.impl());

  const Tensor copy = c;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(graph.find_producer(copy), nc);
  // A different record over the same storage, as a view makes, has no producer.
  const Tensor view(std::make_shared<TensorImpl>(*c.impl()));
  EXPECT_EQ(view.impl()->storage, c.impl()->storage);
  EXPECT_EQ(graph.find_producer(view), nullptr);
  EXPECT_EQ(graph.find_producer(a), nullptr);
}

// Each slot holds its node and a copy of the producer ids of up to two
// inputs, padded with NO_PRODUCER; a node with more inputs is marked.
TEST(Graph, SlotsCopyTheProducersOfUpToTwoInputs) {
  Graph graph;
  const Tensor a = leaf();
  const Tensor c = record(graph, {a}, true);  // id 0
  constexpr std::int32_t NONE = NodeInputs::NO_PRODUCER;
  const struct {
    std::vector<Tensor> inputs;
    std::array<std::int32_t, 2> expected;
  } cases[] = {
      {{}, {NONE, NONE}},
      {{c}, {0, NONE}},
      {{a, c}, {NONE, 0}},
      {{c, c}, {0, 0}},
      {{c, a, c}, {NodeSlot::MORE_INPUTS, NONE}},
  };
  for (const auto& test : cases) {
    const Node& node = graph.add_result_node(OpKind::ADD, test.inputs, lazy_like(a));
    const NodeSlot& slot = graph.slot(node.id);
    EXPECT_EQ(slot.node.get(), &node);
    EXPECT_EQ(slot.producers[0], test.expected[0]) << node.id;
    EXPECT_EQ(slot.producers[1], test.expected[1]) << node.id;
  }
  EXPECT_EQ(broken_invariant(graph), nullptr);
}

TEST(Graph, ReplacedRegistrationAndEmptyOutput) {
  Graph graph;
  const Tensor a = leaf();
  const Tensor c = lazy_like(a);
  const Node& first = graph.add_node("ADD", OpKind::ADD, {a, a}, c);
  const Node& second = graph.add_node("ADD", OpKind::ADD, {a}, c);
  EXPECT_EQ(graph.find_producer(c), &second);
  EXPECT_EQ(first.id, 0);  // still recorded

  Tensor moved = lazy_like(a);
  const Tensor keep = std::move(moved);
  const Node& unregistered = graph.add_node("ADD", OpKind::ADD, {a}, std::move(moved));
  EXPECT_EQ(unregistered.id, 2);
  EXPECT_EQ(unregistered.output.impl(), nullptr);
  EXPECT_EQ(graph.find_producer(keep), nullptr);
}

std::vector<const Node*> nodes_of(const Graph& graph, std::initializer_list<Tensor> outs) {
  std::vector<const Node*> nodes;
  for (const Tensor& t : outs) nodes.push_back(graph.find_producer(t));
  return nodes;
}

TEST(Execute, OrderOfDiamondSelfAndChain) {
  Graph graph;
  const Tensor a = leaf(), b = leaf();
  const Tensor c = record(graph, {a, b});
  const Tensor d = record(graph, {c, a});
  const Tensor e = record(graph, {c, d});
  EXPECT_EQ(execution_order(graph, e), nodes_of(graph, {c, d, e}));
  EXPECT_EQ(execution_order(graph, d), nodes_of(graph, {c, d}));
  const Tensor r = record(graph, {c, c});
  EXPECT_EQ(execution_order(graph, r), nodes_of(graph, {c, r}));
  EXPECT_TRUE(execution_order(graph, a).empty());

  // A long chain: the walk must not recurse.
  Tensor x = a;
  std::vector<const Node*> chain;
  for (int i = 0; i < 200000; ++i) {
    x = record(graph, {x, b});
    chain.push_back(graph.find_producer(x));
  }
  EXPECT_EQ(execution_order(graph, x), chain);
}

// Graphs of new results walk the producers recorded with each node; one
// add_node makes the walk ask find_producer, which the reference follows.
TEST(Execute, RandomGraphsMatchTheRecursiveDefinition) {
  std::mt19937 rng(12345);
  for (const bool results : {true, false}) {
    for (int round = 0; round < 200; ++round) {
      Graph graph;
      std::vector<Tensor> pool{leaf(), leaf(), leaf()};
      const int n = std::uniform_int_distribution<int>(1, 40)(rng);
      for (int i = 0; i < n; ++i) {
        std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
        std::vector<Tensor> inputs;
        const int arity = std::uniform_int_distribution<int>(1, 3)(rng);
        for (int k = 0; k < arity; ++k) inputs.push_back(pool[pick(rng)]);
        pool.push_back(record(graph, std::move(inputs), results));
      }
      EXPECT_EQ(graph.recorded_producers_hold(), results);
      for (const Tensor& t : pool) {
        EXPECT_EQ(execution_order(graph, t), reference_order(graph, t));
      }
    }
  }
}

// After a graph of results, add_node registers an output again, or gives a
// producer to a record that nodes already took as an input: the walk follows
// the producers find_producer gives then.
TEST(Execute, RegisteredAgainOrGivenAProducerLater) {
  for (const bool again : {true, false}) {
    Graph graph;
    const Tensor a = leaf(), b = leaf();
    const Tensor c = record(graph, {a, b}, true);
    const Tensor d = record(graph, {c, a}, true);
    const Tensor e = record(graph, {d, c}, true);
    ASSERT_TRUE(graph.recorded_producers_hold());
    if (again) {
      graph.add_node("ADD", OpKind::ADD, {b, b}, c);  // c's producer is now {b, b}
    } else {
      graph.add_node("ADD", OpKind::ADD, {b, b}, a);  // a, an input of c and d, gains one
    }
    EXPECT_FALSE(graph.recorded_producers_hold());
    EXPECT_EQ(broken_invariant(graph), nullptr);
    for (const Tensor& t : {a, b, c, d, e}) {
      EXPECT_EQ(execution_order(graph, t), reference_order(graph, t));
    }
    EXPECT_EQ(execution_order(graph, e).size(), again ? 3U : 4U);
  }
}

TEST(Execute, AllocatesOnlyWhatIsUpstream) {
  const Tensor a = leaf(), b = leaf();
  const Tensor c = add(a, b);
  const Tensor d = add(c, a);
  const Tensor consumer = add(d, d);
  const Tensor view(std::make_shared<TensorImpl>(*c.impl()));
  const Tensor other = add(view, b);
  EXPECT_FALSE(c.allocated());
  execute(c);
  EXPECT_TRUE(c.allocated());
  EXPECT_TRUE(view.allocated());  // shares c's storage
  EXPECT_FALSE(d.allocated());
  execute(consumer);
  EXPECT_TRUE(d.allocated());
  EXPECT_TRUE(consumer.allocated());
  EXPECT_FALSE(other.allocated());
  void* data = consumer.impl()->storage->data();
  execute(consumer);
  EXPECT_EQ(consumer.impl()->storage->data(), data);
}

TEST(Execute, FailureKeepsWhatWasAllocated) {
  const Tensor a = leaf({4});
  const Tensor c = add(a, a);
  const Tensor lazy_gpu(Shape(V{4}), Dtype::FLOAT32, Device::CUDA, false);
  const Tensor g = add(lazy_gpu, lazy_gpu);
  const Tensor h = add(g, lazy_gpu);
  expect_throw<std::runtime_error>([&] { execute(h); }, "Buffer: only CPU device is implemented");
  EXPECT_FALSE(g.allocated());
  EXPECT_FALSE(h.allocated());
  execute(c);
  EXPECT_TRUE(c.allocated());
}

// Chains deeper than the walk's first stack, and a failure far from either
// end: the results before the failing one are allocated, later ones are not,
// whatever the walk had looked at ahead of the allocations.
TEST(Execute, DeepChainsAndAFailureHalfway) {
  Graph& graph = Graph::instance();
  const Tensor gpu(Shape(V{2}), Dtype::FLOAT32, Device::CUDA, false);
  std::vector<Tensor> chain{leaf({2})};
  for (int i = 0; i < 3000; ++i) {
    const Tensor out = i == 1500 ? gpu : lazy_like(chain.back());
    graph.add_result_node(OpKind::ADD, NodeInputs(chain.back(), chain.front()), out);
    chain.push_back(out);
  }
  ASSERT_TRUE(graph.recorded_producers_hold());
  const std::vector<const Node*> order = execution_order(graph, chain.back());
  ASSERT_EQ(order.size(), 3000U);
  EXPECT_EQ(order, reference_order(graph, chain.back()));
  expect_throw<std::runtime_error>([&] { execute(chain.back()); },
                                   "Buffer: only CPU device is implemented");
  for (std::size_t i = 1; i < chain.size(); ++i) EXPECT_EQ(chain[i].allocated(), i <= 1500) << i;
}

TEST(Add, ResultAndRecordedNode) {
  const Tensor a = leaf(), b = leaf();
  const Tensor c = add(a, b);
  EXPECT_EQ(c.shape(), a.shape());
  EXPECT_EQ(c.strides(), Shape(V{3, 1}));
  EXPECT_EQ(c.offset(), 0u);
  EXPECT_FALSE(c.allocated());
  EXPECT_NE(c.impl()->storage, a.impl()->storage);
  const Node* node = Graph::instance().find_producer(c);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->name, "ADD");
  EXPECT_EQ(node->kind, OpKind::ADD);
  ASSERT_EQ(node->inputs.size(), 2u);
  EXPECT_EQ(node->inputs[0].impl(), a.impl());
  EXPECT_EQ(node->inputs[1].impl(), b.impl());

  const Tensor scalar = add(leaf({}), leaf({}));
  EXPECT_EQ(scalar.numel(), 1);
  const Tensor empty = add(leaf({0, 3}), leaf({0, 3}));
  EXPECT_TRUE(empty.allocated());
  EXPECT_NE(add(a, b).impl(), c.impl());
}

TEST(Add, MismatchesAreRefusedInOrderAndRecordNothing) {
  struct Case {
    Tensor left, right;
    const char* message;
  };
  const std::vector<Case> cases = {
      {leaf({2, 3}), leaf({3, 2}), "add: shape mismatch"},
      {leaf({2, 3}), leaf({2, 3, 1}), "add: rank mismatch"},
      {leaf({1}), leaf({4}), "add: shape mismatch"},
      {leaf({2}), leaf({3}, Dtype::INT32), "add: dtype mismatch"},
      {leaf({2}), Tensor(Shape(V{3, 1}), Dtype::FLOAT32, Device::HIP, false),
       "add: device mismatch"},
      {leaf({}), leaf({1}), "add: rank mismatch"},
  };
  Graph& graph = Graph::instance();
  const Tensor probe = leaf({1});
  std::int32_t last = graph.add_node("ADD", OpKind::ADD, {probe}, lazy_like(probe)).id;
  for (const Case& c : cases) {
    expect_throw<std::invalid_argument>([&] { add(c.left, c.right); }, c.message);
    const std::int32_t next = graph.add_node("ADD", OpKind::ADD, {probe}, lazy_like(probe)).id;
    EXPECT_EQ(next, last + 1) << c.message;
    last = next;
    EXPECT_EQ(c.left.impl().use_count(), 1);
  }
}

}  // namespace
}  // namespace tolvane
