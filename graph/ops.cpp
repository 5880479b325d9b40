#include "graph/ops.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "core/invariants.h"
#include "core/portable.h"
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
// a walk down a chain reads the set in order. Only blocks that hold a reached
// id are made; the list of blocks covers every id below `ids` from the start.
// The benchmarks' counts of "execute chain", "execute tree" and "execute
// fibonacci" (per node) hold the walk it serves beside the physical floor's,
// which keeps one flat bit set over every id.
class VisitedIds {
 public:
  explicit VisitedIds(std::size_t ids) : blocks_((ids >> 12U) + 1) {}

  // Whether `id` (below `ids`) is new; it is from now on.
  TOLVANE_ALWAYS_INLINE bool insert(std::uint32_t id) {
    auto& bits = blocks_[id >> 12U];
    if (!bits) [[unlikely]]
      bits = std::make_unique<std::uint64_t[]>(64);
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

// A node on the walk's stack, by its slot, and the inputs it has yet to look
// at: their recorded producer ids (the slot's copy when it has one), or the
// inputs themselves for find_producer.
template <bool Recorded>
struct WalkFrame {
  using Input = std::conditional_t<Recorded, std::int32_t, Tensor>;

  explicit WalkFrame(const NodeSlot& entered) : slot(&entered) {
    if constexpr (Recorded) {
      if (entered.producers[0] != NodeSlot::MORE_INPUTS) [[likely]] {
        next = std::begin(entered.producers);
        end = std::end(entered.producers);
        return;
      }
      const std::span<const std::int32_t> ids = entered.node->inputs.producer_ids();
      next = ids.data();
      end = ids.data() + ids.size();
    } else {
      next = entered.node->inputs.begin();
      end = entered.node->inputs.end();
    }
  }

  const NodeSlot* slot;
  const Input* next;
  const Input* end;
};

// The id of the node that produced an input, or NO_PRODUCER: a recorded id
// as it stands, or find_producer's for the input itself.
inline std::int32_t producer_id(const Graph& /*graph*/, std::int32_t recorded) { return recorded; }
inline std::int32_t producer_id(const Graph& graph, const Tensor& input) {
  const Node* producer = graph.find_producer(input);
  return producer != nullptr ? producer->id : NodeInputs::NO_PRODUCER;
}

// Room for `capacity` frames in `frames` (from malloc), keeping the first
// ones. realloc moves a large block by remapping its pages instead of
// copying them, and a chain of a million producers needs a million frames.
template <typename Frame>
Frame* grow_frames(std::unique_ptr<Frame[], decltype(&std::free)>& frames, std::size_t capacity) {
  static_assert(std::is_trivially_copyable_v<Frame>);
  void* moved = std::realloc(frames.get(), capacity * sizeof(Frame));
  if (moved == nullptr) throw std::bad_alloc();
  static_cast<void>(frames.release());
  frames.reset(static_cast<Frame*>(moved));
  return frames.get();
}

// The walk, with each input's producer the one recorded with its node when
// the graph's recorded producers hold (always, for graphs of results made by
// add), else find_producer's.
template <bool Recorded, typename Emit>
void walk_from(const Graph& graph, const Node* root, Emit& emit) {
  using Frame = WalkFrame<Recorded>;
  VisitedIds visited(graph.size());
  visited.insert(static_cast<std::uint32_t>(root->id));
  std::unique_ptr<Frame[], decltype(&std::free)> kept(nullptr, &std::free);
  std::size_t capacity = 64;
  Frame* bottom = grow_frames(kept, capacity);
  Frame* limit = bottom + capacity;
  Frame* top = bottom;
  *top = Frame(graph.slot(root->id));
  for (;;) {
    if (top->next == top->end) {
      emit(top->slot->node.get());
      if (top == bottom) break;
      --top;
      continue;
    }
    const std::int32_t producer = producer_id(graph, *top->next++);
    if (producer == NodeInputs::NO_PRODUCER ||
        !visited.insert(static_cast<std::uint32_t>(producer))) {
      continue;
    }
    if constexpr (Recorded) {
      // The producer's slot is read next, the next input's producer's only
      // after the producer's subtree: fetch that one now.
      if (top->next != top->end && *top->next != NodeInputs::NO_PRODUCER) {
        TOLVANE_PREFETCH(&graph.slot(*top->next));
      }
    }
    if (++top == limit) [[unlikely]] {
      bottom = grow_frames(kept, 2 * capacity);
      top = bottom + capacity;
      capacity *= 2;
      limit = bottom + capacity;
    }
    *top = Frame(graph.slot(producer));
  }
}

// Depth-first post-order over an explicit stack, so that long chains of
// producers cannot exhaust the thread's stack: `emit(node)` sees each node
// reached once, producers first.
template <typename Emit>
void walk(const Graph& graph, const Tensor& output, Emit&& emit) {
  const Node* root = graph.find_producer(output);
  if (root == nullptr) return;
  if (graph.recorded_producers_hold()) {
    walk_from<true>(graph, root, emit);
  } else {
    walk_from<false>(graph, root, emit);
  }
}

// Allocates the results of `order`, in order. Each result leads through its
// record to its storage, three blocks apart in memory, and a large graph's
// blocks are far from the cache: the node LATE places ahead is fetched, the
// record of the one 2 * AHEAD ahead and the storage of the one AHEAD ahead,
// so that no allocation waits on its blocks in turn. The distances are
// tuning values: the benchmarks' counts of "execute tree (2^17 - 1 nodes;
// counted on 131,071), per node" (last-level misses and CPU time with the
// heap pre-faulted) are what to compare when changing them.
void allocate_in_order(std::span<const Node* const> order) {
  constexpr std::size_t AHEAD = 4;
  constexpr std::size_t LATE = 3 * AHEAD;
  static_assert(2 * AHEAD < LATE);
  std::size_t i = 0;
  for (; i + LATE < order.size(); ++i) {
    TOLVANE_PREFETCH(&order[i + LATE]->output);
    TOLVANE_PREFETCH(order[i + 2 * AHEAD]->output.impl().get());
    TOLVANE_PREFETCH(order[i + AHEAD]->output.impl()->storage.get());
    order[i]->output.ensure_allocated();
  }
  for (; i < order.size(); ++i) order[i]->output.ensure_allocated();
}

}  // namespace

std::vector<const Node*> execution_order(const Graph& graph, const Tensor& output) {
  std::vector<const Node*> order;
  walk(graph, output, [&order](const Node* node) { order.push_back(node); });
  return order;
}

const char* broken_invariant(const Graph& graph, const Tensor& output,
                             std::span<const Node* const> order) {
  const Node* root = graph.find_producer(output);
  if (root == nullptr ? !order.empty() : order.empty() || order.back() != root) {
    return "execute: the producer of the output is not last";
  }
  VisitedIds done(graph.size());
  for (const Node* node : order) {
    if (node->id < 0 || static_cast<std::size_t>(node->id) >= graph.size() ||
        &graph.node(node->id) != node) {
      return "execute: a node is not the graph's";
    }
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

// The whole order is known before the first allocation, so a walk that runs
// out of memory leaves every storage as it was.
void execute(const Tensor& output) {
  const Graph& graph = Graph::instance();
  const std::vector<const Node*> order = execution_order(graph, output);
  if constexpr (CHECK_INVARIANTS) expect_kept(broken_invariant(graph, output, order));
  allocate_in_order(order);
}

}  // namespace tolvane
