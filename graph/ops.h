#pragma once

// The lazy operations on the process-wide graph.
//
// Adding records; executing attaches memory. Nothing here computes values:
//
//   const Shape shape({2, 3});
//   Tensor a = Tensor::ones(shape, Dtype::FLOAT32, Device::CPU);
//   Tensor b = Tensor::zeros(shape, Dtype::FLOAT32, Device::CPU);
//   Tensor c = add(a, b);   // an ADD node in Graph::instance(); c has no memory
//   Tensor d = add(c, a);   // d's node takes c as an input
//   c.allocated();          // false, and so is d.allocated()
//   execute(d);             // allocates c, then d: producers first
//   d.allocated();          // true; d's 24 bytes are uninitialised, not 2.0f
//
// The graph holds a, b, c and d until the process ends.

#include <span>
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
// uninitialised. Does nothing for a tensor that no node produced. The whole
// order is found before anything is allocated: running out of memory while
// finding it changes no storage. A failed allocation stops execute; the
// results before it in the order keep their memory.
void execute(const Tensor& output);

// The nodes that execute(output) materialises on `graph`, in its order.
std::vector<const Node*> execution_order(const Graph& graph, const Tensor& output);

// The first invariant `order` breaks as the execution order of `output` on
// `graph`, or null: every node is the graph's, appears once and after the
// producers of its inputs, and the producer of `output` comes last (no node at all when no
// node produced it). Debug builds check each order that execute walks.
const char* broken_invariant(const Graph& graph, const Tensor& output,
                             std::span<const Node* const> order);

}  // namespace tolvane
