#include "graph/graph.h"

#include <utility>

namespace tolvane {

Graph& Graph::instance() {
  static Graph graph;
  return graph;
}

Node& Graph::add_node(std::string name, OpKind kind, std::vector<Tensor> inputs, Tensor output) {
  const auto id = static_cast<std::int32_t>(nodes_.size());
  auto node =
      std::make_unique<Node>(Node{id, std::move(name), kind, std::move(inputs), std::move(output)});
  Node& added = *node;
  nodes_.push_back(std::move(node));
  if (const TensorImpl* key = added.output.impl().get()) {
    try {
      producers_.insert_or_assign(key, &added);
    } catch (...) {
      nodes_.pop_back();  // keep the graph as it was when the map cannot grow
      throw;
    }
  }
  return added;
}

const Node* Graph::find_producer(const Tensor& tensor) const {
  const auto it = producers_.find(tensor.impl().get());
  return it == producers_.end() ? nullptr : it->second;
}

}  // namespace tolvane
