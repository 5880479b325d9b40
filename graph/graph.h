#pragma once

// Node and Graph: the record of lazy operations.
//
// A Node is one recorded operation: its position in the graph (`id`), its
// name and kind, handles to its operands (left first; one tensor may appear
// twice) and a handle to its result. Nodes are never changed once recorded,
// and their handles keep every operand and result alive as long as the graph.
//
// A Graph owns its nodes, each allocated by itself so that plain Node
// pointers stay valid while the list grows, and maps the address of each
// result's TensorImpl to the Node that produced it. Nothing is ever removed.
// The process-wide graph (Graph::instance) is made on first use and lives
// until exit; other graphs exist only in tests. There is no lock: callers
// serialise access (in the module, the interpreter lock does).

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/tensor.h"
#include "graph/op_kind.h"

namespace tolvane {

struct Node {
  std::int32_t id;
  std::string name;
  OpKind kind;
  std::vector<Tensor> inputs;
  Tensor output;
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
  // an empty handle.
  Node& add_node(std::string name, OpKind kind, std::vector<Tensor> inputs, Tensor output);

  // The Node registered for `tensor`'s record, or null.
  const Node* find_producer(const Tensor& tensor) const;

 private:
  // Declared in this order so that the map goes first at destruction.
  std::vector<std::unique_ptr<Node>> nodes_;
  std::unordered_map<const TensorImpl*, const Node*> producers_;
};

}  // namespace tolvane
