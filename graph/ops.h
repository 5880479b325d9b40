#pragma once

// The lazy operations on the process-wide graph.

#include <vector>

#include "core/tensor.h"

namespace tolvane {

class Graph;
struct Node;

// Records left + right, elementwise, without computing it: checks that dtype,
// device, rank and every extent agree (std::invalid_argument otherwise,
// before anything is created), and returns a new, unallocated result of the
// same shape whose ADD node is in Graph::instance(). No broadcasting.
Tensor add(const Tensor& left, const Tensor& right);

// Attaches memory to the result of every node reachable from `output`'s
// producer through the node inputs, producers before consumers (depth-first
// post-order, earlier inputs first). Computes no values; the memory is left
// uninitialised. Does nothing for a tensor that no node produced. A failed
// allocation stops the walk; what was allocated before stays allocated.
void execute(const Tensor& output);

// The nodes that execute(output) materialises on `graph`, in its order.
std::vector<const Node*> execution_order(const Graph& graph, const Tensor& output);

}  // namespace tolvane
