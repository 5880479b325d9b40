#pragma once

// Node and Graph: the record of lazy operations.
//
// A Node is one recorded operation: its position in the graph (`id`), its
// name and kind, handles to its operands (left first; one tensor may appear
// twice) and a handle to its result. Nodes are never changed once recorded,
// and their handles keep every operand and result alive as long as the graph.
//
// A Graph owns its nodes, each allocated by itself so that plain Node
// pointers stay valid while the list of their slots grows, and maps the
// address of each result's TensorImpl to the Node that produced it (an
// IndexTable from the address to the node's id, which is its place in the
// list). Nothing is ever removed.
// The process-wide graph (Graph::instance) is made on first use and lives
// until exit; other graphs exist only in tests. There is no lock: callers
// serialise access (in the module, the interpreter lock does).

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/tensor.h"
#include "graph/index_table.h"
#include "graph/op_kind.h"

namespace tolvane {

// The operands of a node, in order, each with the id of the node that
// produced it when the node was recorded (NO_PRODUCER for none). Two are held
// inline, as every add has them; a node with more keeps them all in arrays of
// its own.
class NodeInputs {
 public:
  NodeInputs(const Tensor& left, const Tensor& right);
  NodeInputs(std::initializer_list<Tensor> inputs);
  NodeInputs(std::vector<Tensor> inputs);  // NOLINT(google-explicit-constructor): a list
  NodeInputs(NodeInputs&& other) noexcept;
  NodeInputs(const NodeInputs&) = delete;
  NodeInputs& operator=(const NodeInputs&) = delete;
  NodeInputs& operator=(NodeInputs&&) = delete;
  ~NodeInputs();

  static constexpr std::int32_t NO_PRODUCER = -1;

  std::size_t size() const { return size_; }
  const Tensor& operator[](std::size_t i) const { return data()[i]; }
  const Tensor* begin() const { return data(); }
  const Tensor* end() const { return data() + size_; }
  std::int32_t producer(std::size_t i) const { return producers()[i]; }
  std::span<const std::int32_t> producer_ids() const { return {producers(), size_}; }

 private:
  friend class Graph;
  friend struct Node;
  static constexpr std::uint32_t INLINE = 2;

  const Tensor* data() const { return size_ <= INLINE ? inline_ : heap_; }
  std::int32_t* producers() { return size_ <= INLINE ? inline_producers_ : heap_producers_; }
  const std::int32_t* producers() const {
    return size_ <= INLINE ? inline_producers_ : heap_producers_;
  }

  // What a walk reads first: the count and the producers, then the operands.
  std::uint32_t size_ = 0;
  union {
    std::int32_t inline_producers_[INLINE];
    std::int32_t* heap_producers_;
  };
  union {
    Tensor inline_[INLINE];
    Tensor* heap_;
  };
};

// The fields a walk reads (the output's record, then the inputs' count and
// producers) lead: they end within the node's first WALKED_BYTES, so that
// they share one 64-byte cache line in three of the four places a 16-aligned
// block can start. With malloc's 8-byte chunk header the node takes a 96-byte
// chunk. Both are asserted below the struct.
struct Node {
  Tensor output;
  NodeInputs inputs;
  std::int32_t id;
  OpKind kind;
  // The graph's own copy of the name text, alive as long as the graph.
  std::string_view name;

  static constexpr std::size_t WALKED_BYTES = 32;
  static constexpr std::size_t walked_end();
};

constexpr std::size_t Node::walked_end() {
  return offsetof(Node, inputs) + offsetof(NodeInputs, inline_producers_) +
         sizeof(NodeInputs::inline_producers_);
}
static_assert(std::is_standard_layout_v<Node> && std::is_standard_layout_v<NodeInputs>);
static_assert(offsetof(Node, output) == 0 && Node::walked_end() <= Node::WALKED_BYTES);
static_assert(sizeof(Node) + 8 <= 96);

// What a Graph keeps of each node, by id: the node itself, and a copy of the
// producer ids of its inputs when it has at most two (NO_PRODUCER for an
// input it lacks; MORE_INPUTS first when it has more), so that a walk over
// the slots finds where to go without reading the nodes.
struct NodeSlot {
  static constexpr std::int32_t MORE_INPUTS = -2;

  std::unique_ptr<Node> node;
  std::int32_t producers[2];
};

class Graph {
 public:
  Graph() = default;
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // The process-wide graph; its creation is safe against concurrent first use.
  static Graph& instance();

  // Appends a Node with the next id and registers it as the producer of
  // `output`'s record (replacing an earlier registration), unless `output` is
  // an empty handle. On failure (std::bad_alloc) the graph is as it was.
  Node& add_node(std::string name, OpKind kind, NodeInputs inputs, Tensor output);
  // add_node for an output made for this node: a record that no node has
  // used or produced (add's result), named by its kind. Graphs made only of
  // such nodes keep the producers resolved when each was recorded.
  Node& add_result_node(OpKind kind, NodeInputs inputs, Tensor output);

  // Whether every node's recorded producers are what find_producer gives
  // now: add_node may register a record again, or one that a node already
  // took as an input, and then the walk asks find_producer instead.
  bool recorded_producers_hold() const { return recorded_producers_hold_; }
  std::size_t size() const { return nodes_.size(); }
  const Node& node(std::int32_t id) const { return *slot(id).node; }
  const NodeSlot& slot(std::int32_t id) const { return nodes_[static_cast<std::size_t>(id)]; }

  // The Node registered for `tensor`'s record, or null.
  const Node* find_producer(const Tensor& tensor) const {
    const TensorImpl* record = tensor.impl().get();
    const std::int64_t found = producers_.find(
        fingerprint(record), [&](std::uint32_t id) { return produces(id, record); });
    return found == IndexTable::NONE ? nullptr : nodes_[static_cast<std::size_t>(found)].node.get();
  }

 private:
  friend const char* broken_invariant(const Graph& graph, const Node& node);
  friend const char* broken_invariant(const Graph& graph);

  // The producers table's fingerprint of a record: its address over 16.
  static std::uint32_t fingerprint(const TensorImpl* record) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(record) >> 4U);
  }
  bool produces(std::uint32_t id, const TensorImpl* record) const {
    return nodes_[id].node->output.impl().get() == record;
  }

  // The name kept for a node: the OP_KIND_NAMES text, or a copy of its own.
  std::string_view keep_name(std::string name, OpKind kind);
  // Appends the node, with its inputs' producers resolved, and registers its
  // output; whether the registration was new.
  Node& record(std::string_view name, OpKind kind, NodeInputs inputs, Tensor output,
               bool& registered_anew);

  // Declared in this order so that the table goes first at destruction.
  std::forward_list<std::string> names_;
  std::vector<NodeSlot> nodes_;
  IndexTable producers_;  // record fingerprint -> node id
  bool recorded_producers_hold_ = true;
};

// The first invariant `node` breaks in `graph`, or null: it is the graph's
// node at its id, its result, unless empty, is registered under its own
// record, to it or to a later node with the same result, and while the
// graph's recorded producers hold, each input's is find_producer's. Debug
// builds check each node as it is added.
const char* broken_invariant(const Graph& graph, const Node& node);

// The first invariant `graph` breaks, or null: its producer table's, then
// any node's.
const char* broken_invariant(const Graph& graph);

}  // namespace tolvane
