// The graph's own containers: the inline operand list, the index table, the
// kept names, and walks over shapes where a hash table of ids clusters.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "graph/graph.h"
#include "graph/index_table.h"
#include "graph/ops.h"

namespace tolvane {
namespace {

Tensor leaf() { return Tensor(Shape(std::vector<std::size_t>{2}), Dtype::INT32, Device::CPU); }

TEST(NodeInputs, InlineOrOnTheHeapInOrderAndMovable) {
  const Tensor a = leaf(), b = leaf(), c = leaf();
  for (const std::vector<Tensor>& list :
       {std::vector<Tensor>{}, {a}, {a, b}, {a, b, c}, {c, a, c, b, a}}) {
    NodeInputs inputs(list);
    NodeInputs moved(std::move(inputs));
    EXPECT_EQ(inputs.size(), 0u);  // NOLINT(bugprone-use-after-move): moved from is empty
    ASSERT_EQ(moved.size(), list.size());
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(moved[i].impl(), list[i].impl());
  }
  const auto before = a.impl().use_count();
  {
    const NodeInputs pair(a, a);
    EXPECT_EQ(a.impl().use_count(), before + 2);
  }
  EXPECT_EQ(a.impl().use_count(), before);  // every handle released once
}

TEST(IndexTable, FindsWhatWasPutAndGrows) {
  IndexTable table;
  const auto any = [](std::uint32_t) { return true; };
  EXPECT_EQ(table.find(7, any), IndexTable::NONE);
  // Sequential fingerprints, the shape of ids and of records allocated in
  // order, across several growths.
  for (std::uint32_t i = 0; i < 100'000; ++i) {
    table.reserve_one();
    ASSERT_TRUE(table.put(i * 3, i, [](std::uint32_t) { return false; }, false));
  }
  EXPECT_EQ(table.size(), 100'000u);
  for (std::uint32_t i = 0; i < 100'000; i += 997) {
    EXPECT_EQ(table.find(i * 3, [&](std::uint32_t index) { return index == i; }), i);
  }
  EXPECT_EQ(table.find(1, any), IndexTable::NONE);
  // One fingerprint, two keys: the caller's test tells them apart.
  table.reserve_one();
  EXPECT_TRUE(table.put(6, 500'000, [](std::uint32_t index) { return index == 500'000; }, false));
  EXPECT_EQ(table.find(6, [](std::uint32_t index) { return index == 500'000; }), 500'000);
  EXPECT_EQ(table.find(6, [](std::uint32_t index) { return index == 2; }), 2);
  // The same key again stays, or gives way with `replace`.
  table.reserve_one();
  EXPECT_FALSE(table.put(6, 9, [](std::uint32_t index) { return index == 2; }, false));
  EXPECT_EQ(table.find(6, [](std::uint32_t index) { return index == 2 || index == 9; }), 2);
  EXPECT_FALSE(table.put(6, 9, [](std::uint32_t index) { return index == 2; }, true));
  EXPECT_EQ(table.find(6, [](std::uint32_t index) { return index == 2 || index == 9; }), 9);
  EXPECT_EQ(broken_invariant(table), nullptr);
}

TEST(IndexTable, KeepsItsInvariantsThroughEveryGrowth) {
  IndexTable table;
  EXPECT_EQ(broken_invariant(table), nullptr);
  // Colliding fingerprints (multiples of 53 share a home at the first
  // capacity), so that runs wrap around the end of the slots.
  for (std::uint32_t i = 0; i < 5'000; ++i) {
    table.reserve_one();
    table.put(i % 7 == 0 ? 52 : i * 53, i, [](std::uint32_t) { return false; }, false);
    if (i % 97 == 0) {
      ASSERT_EQ(broken_invariant(table), nullptr) << i;
    }
  }
  EXPECT_EQ(broken_invariant(table), nullptr);
}

TEST(Graph, KeepsItsOwnCopyOfEachName) {
  Graph graph;
  const Tensor a = leaf();
  std::string name = "CUSTOM";
  const Node& first = graph.add_node(name, OpKind::NONE, {a}, leaf());
  name.assign("CHANGED");
  const Node& second = graph.add_node("CUSTOM", OpKind::RELU, {a}, leaf());
  const Node& third = graph.add_node("ADD", OpKind::ADD, {a, a}, leaf());
  EXPECT_EQ(first.name, "CUSTOM");
  EXPECT_EQ(second.name.data(), first.name.data());  // one copy per distinct name
  EXPECT_EQ(third.name.data(), OP_KIND_NAMES[1]);
}

// Balanced trees and "add the two previous" graphs visit ids in interleaved
// runs, which made a linear-probing table of ids cluster; a long chain, and
// a wide random graph, check the walk against the recursive definition.
TEST(Execute, WideAndDeepShapesMatchTheRecursiveDefinition) {
  Graph graph;
  const auto record = [&](const Tensor& l, const Tensor& r) {
    Tensor out(l.shape(), l.dtype(), l.device(), false);
    graph.add_node("ADD", OpKind::ADD, NodeInputs(l, r), out);
    return out;
  };
  std::vector<Tensor> level;
  for (int i = 0; i < (1 << 12); ++i) level.push_back(leaf());
  while (level.size() > 1) {
    std::vector<Tensor> next;
    for (std::size_t i = 0; i < level.size(); i += 2)
      next.push_back(record(level[i], level[i + 1]));
    level = std::move(next);
  }
  EXPECT_EQ(execution_order(graph, level[0]).size(), (1u << 12) - 1);

  Tensor a = leaf(), b = leaf();
  std::vector<const Node*> expected;
  for (int i = 0; i < 10'000; ++i) {
    Tensor c = record(a, b);
    a = std::exchange(b, c);
    expected.push_back(graph.find_producer(b));
  }
  const std::vector<const Node*> order = execution_order(graph, b);
  ASSERT_EQ(order.size(), expected.size());
  EXPECT_EQ(order.front(), expected.front());
  EXPECT_EQ(order.back(), expected.back());
  // Producers first: every input's producer comes earlier.
  std::vector<std::size_t> position(static_cast<std::size_t>(order.back()->id) + 1);
  for (std::size_t i = 0; i < order.size(); ++i) {
    position[static_cast<std::size_t>(order[i]->id)] = i;
  }
  for (std::size_t i = 0; i < order.size(); ++i) {
    for (const Tensor& in : order[i]->inputs) {
      if (const Node* p = graph.find_producer(in)) {
        EXPECT_LT(position[static_cast<std::size_t>(p->id)], i);
      }
    }
  }
}

}  // namespace
}  // namespace tolvane
