#include "graph/ops.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/invariants.h"
#include "graph/graph.h"

namespace tolvane {

Tensor add(const Tensor& left, const Tensor& right) {
  if (left.dtype() != right.dtype()) throw std::invalid_argument("add: dtype mismatch");
  if (left.device() != right.device()) throw std::invalid_argument("add: device mismatch");
  const Shape& shape = left.shape();
  if (shape.rank() != right.shape().rank()) throw std::invalid_argument("add: rank mismatch");
  for (int i = 0; i < shape.rank(); ++i) {
    if (shape[i] != right.shape()[i]) throw std::invalid_argument("add: shape mismatch");
  }
  Tensor result(shape, left.dtype(), left.device(), false);
  Graph::instance().add_result_node(OpKind::ADD, NodeInputs(left, right), result);
  return result;
}

namespace {

// The ids of the nodes a walk has entered, one bit each, in blocks of 4096
// ids made on first use. Nodes recorded one after another share a block, so
// a walk down a chain reads the set in order, and no shape of graph makes it
// cluster: a linear-probing hash table of ids ran balanced trees of adds 20
// times slower, and a mixing hash made every insert a cache miss on large
// graphs. Only blocks that hold a reached id are made.
class VisitedIds {
 public:
  // Whether `id` is new; it is from now on.
  bool insert(std::uint32_t id) {
    const std::size_t block = id >> 12U;
    if (block >= blocks_.size()) blocks_.resize(block + 1);
    auto& bits = blocks_[block];
    if (!bits) bits = std::make_unique<std::uint64_t[]>(64);
    std::uint64_t& word = bits[word_of(id)];
    if ((word & bit_of(id)) != 0) return false;
    word |= bit_of(id);
    return true;
  }

  bool contains(std::uint32_t id) const {
    const std::size_t block = id >> 12U;
    return block < blocks_.size() && blocks_[block] &&
           (blocks_[block][word_of(id)] & bit_of(id)) != 0;
  }

 private:
  static std::size_t word_of(std::uint32_t id) { return (id >> 6U) & 63U; }
  static std::uint64_t bit_of(std::uint32_t id) { return std::uint64_t{1} << (id & 63U); }

  std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
};

struct WalkFrame {
  const Node* node;
  std::size_t next_input;
};

// Depth-first post-order over an explicit stack, so that long chains of
// producers cannot exhaust the thread's stack: `emit(node, stack)` sees each
// node reached once, producers first, with the stack of nodes whose emission
// is still to come (the next of them on top).
template <typename Emit>
void walk(const Graph& graph, const Tensor& output, Emit&& emit) {
  const Node* root = graph.find_producer(output);
  if (root == nullptr) return;
  // The producers recorded with each node when they still hold (always, for
  // graphs of results made by add), else find_producer's for each input.
  const bool recorded = graph.recorded_producers_hold();
  const auto producer_of = [&graph, recorded](const Node* node, std::size_t i) -> const Node* {
    if (!recorded) return graph.find_producer(node->inputs[i]);
    const std::int32_t id = node->inputs.producer(i);
    return id == NodeInputs::NO_PRODUCER ? nullptr : &graph.node(id);
  };
  VisitedIds visited;
  const auto visit = [&visited](const Node* node) {
    return visited.insert(static_cast<std::uint32_t>(node->id));
  };
  visit(root);
  std::vector<WalkFrame> stack{{root, 0}};
  while (!stack.empty()) {
    WalkFrame& top = stack.back();
    if (top.next_input == top.node->inputs.size()) {
      const Node* node = top.node;
      stack.pop_back();
      emit(node, stack);
      continue;
    }
    const Node* producer = producer_of(top.node, top.next_input++);
    if (producer != nullptr && visit(producer)) stack.push_back({producer, 0});
  }
}

}  // namespace

std::vector<const Node*> execution_order(const Graph& graph, const Tensor& output) {
  std::vector<const Node*> order;
  walk(graph, output, [&order](const Node* node, const auto& /*stack*/) { order.push_back(node); });
  return order;
}

const char* broken_invariant(const Graph& graph, const Tensor& output,
                             std::span<const Node* const> order) {
  const Node* root = graph.find_producer(output);
  if (root == nullptr ? !order.empty() : order.empty() || order.back() != root) {
    return "execute: the producer of the output is not last";
  }
  VisitedIds done;
  for (const Node* node : order) {
    for (const Tensor& input : node->inputs) {
      const Node* producer = graph.find_producer(input);
      if (producer != nullptr && !done.contains(static_cast<std::uint32_t>(producer->id))) {
        return "execute: a node comes before the producer of an input";
      }
    }
    if (!done.insert(static_cast<std::uint32_t>(node->id))) return "execute: a node comes twice";
  }
  return nullptr;
}

void execute(const Tensor& output) {
  const Graph& graph = Graph::instance();
  if constexpr (CHECK_INVARIANTS) {
    expect_kept(broken_invariant(graph, output, execution_order(graph, output)));
  }
  // Each node is allocated as the walk emits it. The nodes on the stack are
  // emitted next, the top first; each leads through its result's record to
  // the storage, three records apart in memory. Fetching them a few frames
  // down, one level per step, keeps a large graph from waiting on each in
  // turn.
  constexpr std::size_t AHEAD = 4;
  walk(graph, output, [](const Node* node, const std::vector<WalkFrame>& stack) {
    const std::size_t n = stack.size();
    if (n > 3 * AHEAD) __builtin_prefetch(stack[n - 1 - 3 * AHEAD].node);
    if (n > 2 * AHEAD) __builtin_prefetch(stack[n - 1 - 2 * AHEAD].node->output.impl().get());
    if (n > AHEAD) __builtin_prefetch(stack[n - 1 - AHEAD].node->output.impl()->storage.get());
    node->output.ensure_allocated();
  });
}

}  // namespace tolvane
