#include "graph/graph.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "core/invariants.h"

namespace tolvane {

NodeInputs::NodeInputs(const Tensor& left, const Tensor& right) : inline_{left, right}, size_(2) {}

NodeInputs::NodeInputs(std::initializer_list<Tensor> inputs)
    : NodeInputs(std::vector<Tensor>(inputs)) {}

NodeInputs::NodeInputs(std::vector<Tensor> inputs) : heap_(nullptr) {
  const auto size = static_cast<std::uint32_t>(inputs.size());
  if (size > INLINE) {
    heap_ = std::allocator<Tensor>().allocate(size);
    std::uninitialized_move(inputs.begin(), inputs.end(), heap_);
  } else {
    for (std::uint32_t i = 0; i < size; ++i) new (&inline_[i]) Tensor(std::move(inputs[i]));
  }
  size_ = size;
}

NodeInputs::NodeInputs(NodeInputs&& other) noexcept : heap_(nullptr), size_(other.size_) {
  if (size_ > INLINE) {
    heap_ = std::exchange(other.heap_, nullptr);
  } else {
    for (std::uint32_t i = 0; i < size_; ++i) {
      new (&inline_[i]) Tensor(std::move(other.inline_[i]));
      other.inline_[i].~Tensor();
    }
  }
  other.size_ = 0;
}

NodeInputs::~NodeInputs() {
  if (size_ > INLINE) {
    std::destroy_n(heap_, size_);
    std::allocator<Tensor>().deallocate(heap_, size_);
  } else {
    for (std::uint32_t i = 0; i < size_; ++i) inline_[i].~Tensor();
  }
}

Graph& Graph::instance() {
  static Graph graph;
  return graph;
}

std::string_view Graph::keep_name(std::string name, OpKind kind) {
  const auto k = static_cast<std::size_t>(kind);
  if (k < OP_KIND_NAMES.size() && name == OP_KIND_NAMES[k]) return OP_KIND_NAMES[k];
  const auto kept = std::find(names_.begin(), names_.end(), name);
  if (kept != names_.end()) return *kept;
  return names_.emplace_front(std::move(name));
}

Node& Graph::add_node(std::string name, OpKind kind, NodeInputs inputs, Tensor output) {
  const bool registered = output.impl() != nullptr;
  if (registered) producers_.reserve_one();
  const auto id = static_cast<std::int32_t>(nodes_.size());
  // Braces: Node is an aggregate, which clang 14's make_unique cannot build.
  std::unique_ptr<Node> node(
      new Node{id, keep_name(std::move(name), kind), kind, std::move(inputs), std::move(output)});
  Node& added = *nodes_.emplace_back(std::move(node));
  if (registered) {
    const TensorImpl* record = added.output.impl().get();
    producers_.put(
        fingerprint(record), static_cast<std::uint32_t>(id),
        [&](std::uint32_t other) { return produces(other, record); }, true);
  }
  if constexpr (CHECK_INVARIANTS) expect_kept(broken_invariant(*this, added));
  return added;
}

const char* broken_invariant(const Graph& graph, const Node& node) {
  const auto id = static_cast<std::size_t>(node.id);
  if (node.id < 0 || id >= graph.nodes_.size() || graph.nodes_[id].get() != &node) {
    return "Graph: a node is not the graph's node at its id";
  }
  if (node.output.impl() == nullptr) return nullptr;
  const Node* producer = graph.find_producer(node.output);
  if (producer == nullptr || producer->output.impl() != node.output.impl() ||
      producer->id < node.id) {
    return "Graph: a result is not registered under its own record";
  }
  return nullptr;
}

const char* broken_invariant(const Graph& graph) {
  if (const char* broken = broken_invariant(graph.producers_)) return broken;
  for (const auto& node : graph.nodes_) {
    if (const char* broken = broken_invariant(graph, *node)) return broken;
  }
  return nullptr;
}

}  // namespace tolvane
