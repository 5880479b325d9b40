#include "graph/ops.h"

#include <cstddef>
#include <stdexcept>
#include <unordered_set>
#include <vector>

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
  const auto kind = OpKind::ADD;
  Graph::instance().add_node(OP_KIND_NAMES[static_cast<std::size_t>(kind)], kind, {left, right},
                             result);
  return result;
}

// Depth-first post-order over an explicit stack, so that long chains of
// producers cannot exhaust the thread's stack.
std::vector<const Node*> execution_order(const Graph& graph, const Tensor& output) {
  const Node* root = graph.find_producer(output);
  if (root == nullptr) return {};
  struct Frame {
    const Node* node;
    std::size_t next_input;
  };
  std::vector<const Node*> order;
  std::unordered_set<const Node*> visited{root};
  std::vector<Frame> stack{{root, 0}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next_input == top.node->inputs.size()) {
      order.push_back(top.node);
      stack.pop_back();
      continue;
    }
    const Node* producer = graph.find_producer(top.node->inputs[top.next_input++]);
    if (producer != nullptr && visited.insert(producer).second) stack.push_back({producer, 0});
  }
  return order;
}

void execute(const Tensor& output) {
  for (const Node* node : execution_order(Graph::instance(), output)) {
    node->output.ensure_allocated();
  }
}

}  // namespace tolvane
