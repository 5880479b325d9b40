#include "graph/graph.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

#include "core/invariants.h"

namespace tolvane {

// A Node block of 88 bytes takes the allocator's 96-byte chunks.
static_assert(sizeof(Node) <= 88);

NodeInputs::NodeInputs(const Tensor& left, const Tensor& right)
    : size_(2), inline_producers_{NO_PRODUCER, NO_PRODUCER}, inline_{left, right} {}

NodeInputs::NodeInputs(std::initializer_list<Tensor> inputs)
    : NodeInputs(std::vector<Tensor>(inputs)) {}

NodeInputs::NodeInputs(std::vector<Tensor> inputs)
    : inline_producers_{NO_PRODUCER, NO_PRODUCER}, heap_(nullptr) {
  const auto size = static_cast<std::uint32_t>(inputs.size());
  if (size > INLINE) {
    std::unique_ptr<std::int32_t[]> producers(new std::int32_t[size]);
    std::fill_n(producers.get(), size, NO_PRODUCER);
    heap_ = std::allocator<Tensor>().allocate(size);
    std::uninitialized_move(inputs.begin(), inputs.end(), heap_);
    heap_producers_ = producers.release();
  } else {
    for (std::uint32_t i = 0; i < size; ++i) new (&inline_[i]) Tensor(std::move(inputs[i]));
  }
  size_ = size;
}

NodeInputs::NodeInputs(NodeInputs&& other) noexcept : size_(other.size_), heap_(nullptr) {
  if (size_ > INLINE) {
    heap_ = std::exchange(other.heap_, nullptr);
    heap_producers_ = std::exchange(other.heap_producers_, nullptr);
  } else {
    for (std::uint32_t i = 0; i < size_; ++i) {
      new (&inline_[i]) Tensor(std::move(other.inline_[i]));
      other.inline_[i].~Tensor();
      inline_producers_[i] = other.inline_producers_[i];
    }
  }
  other.size_ = 0;
}

NodeInputs::~NodeInputs() {
  if (size_ > INLINE) {
    std::destroy_n(heap_, size_);
    std::allocator<Tensor>().deallocate(heap_, size_);
    delete[] heap_producers_;
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

Node& Graph::record(std::string_view name, OpKind kind, NodeInputs inputs, Tensor output,
                    bool& registered_anew) {
  const bool registered = output.impl() != nullptr;
  if (registered) producers_.reserve_one();
  std::int32_t* producers = inputs.producers();
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const Node* producer = find_producer(inputs[i]);
    producers[i] = producer != nullptr ? producer->id : NodeInputs::NO_PRODUCER;
  }
  const auto id = static_cast<std::int32_t>(nodes_.size());
  NodeSlot slot{nullptr, {NodeInputs::NO_PRODUCER, NodeInputs::NO_PRODUCER}};
  if (inputs.size() > 2) {
    slot.producers[0] = NodeSlot::MORE_INPUTS;
  } else {
    std::copy_n(producers, inputs.size(), slot.producers);
  }
  // Braces: Node is an aggregate, which clang 14's make_unique cannot build.
  slot.node.reset(new Node{std::move(output), std::move(inputs), id, kind, name});
  Node& added = *nodes_.emplace_back(std::move(slot)).node;
  registered_anew = false;
  if (registered) {
    const TensorImpl* record = added.output.impl().get();
    registered_anew = producers_.put(
        fingerprint(record), static_cast<std::uint32_t>(id),
        [&](std::uint32_t other) { return produces(other, record); }, true);
  }
  return added;
}

Node& Graph::add_node(std::string name, OpKind kind, NodeInputs inputs, Tensor output) {
  bool registered_anew = false;
  const bool has_output = output.impl() != nullptr;
  Node& added = record(keep_name(std::move(name), kind), kind, std::move(inputs), std::move(output),
                       registered_anew);
  // A record registered again, or one that an earlier node may have taken
  // as an input: the producers recorded so far may no longer hold.
  if (has_output) recorded_producers_hold_ = false;
  if constexpr (CHECK_INVARIANTS) expect_kept(broken_invariant(*this, added));
  return added;
}

Node& Graph::add_result_node(OpKind kind, NodeInputs inputs, Tensor output) {
  bool registered_anew = false;
  Node& added = record(OP_KIND_NAMES.at(static_cast<std::size_t>(kind)), kind, std::move(inputs),
                       std::move(output), registered_anew);
  // A new record cannot be registered already (registered records live as
  // long as the graph, so their addresses are never reused).
  if (!registered_anew) recorded_producers_hold_ = false;
  if constexpr (CHECK_INVARIANTS) expect_kept(broken_invariant(*this, added));
  return added;
}

const char* broken_invariant(const Graph& graph, const Node& node) {
  const auto id = static_cast<std::size_t>(node.id);
  if (node.id < 0 || id >= graph.nodes_.size() || graph.nodes_[id].node.get() != &node) {
    return "Graph: a node is not the graph's node at its id";
  }
  const NodeSlot& slot = graph.nodes_[id];
  const std::span<const std::int32_t> ids = node.inputs.producer_ids();
  const bool copied =
      ids.size() > 2
          ? slot.producers[0] == NodeSlot::MORE_INPUTS
          : std::equal(ids.begin(), ids.end(), slot.producers) &&
                std::all_of(slot.producers + ids.size(), std::end(slot.producers),
                            [](std::int32_t unused) { return unused == NodeInputs::NO_PRODUCER; });
  if (!copied) {
    return "Graph: a slot's producers are not its node's";
  }
  if (node.output.impl() != nullptr) {
    const Node* producer = graph.find_producer(node.output);
    if (producer == nullptr || producer->output.impl() != node.output.impl() ||
        producer->id < node.id) {
      return "Graph: a result is not registered under its own record";
    }
  }
  if (graph.recorded_producers_hold_) {
    for (std::size_t i = 0; i < node.inputs.size(); ++i) {
      const Node* producer = graph.find_producer(node.inputs[i]);
      if (node.inputs.producer(i) !=
          (producer != nullptr ? producer->id : NodeInputs::NO_PRODUCER)) {
        return "Graph: a recorded producer is not find_producer's";
      }
    }
  }
  return nullptr;
}

const char* broken_invariant(const Graph& graph) {
  if (const char* broken = broken_invariant(graph.producers_)) return broken;
  for (const NodeSlot& slot : graph.nodes_) {
    if (const char* broken = broken_invariant(graph, *slot.node)) return broken;
  }
  return nullptr;
}

}  // namespace tolvane
