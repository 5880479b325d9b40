#pragma once

// IndexTable: the graph's table of producers, an open-addressing table from a
// 32-bit fingerprint of a key to the index of an entry in a list the caller
// owns.
//
// Each slot holds a fingerprint and its index (plus one: 0 marks an empty
// slot) in 8 bytes, so a search compares fingerprints without touching the
// entries; the caller confirms a matching fingerprint against the entry.
// A fingerprint's home slot is the fingerprint modulo a prime capacity, and
// a taken slot passes the search on to the next. The graph's fingerprints are
// record addresses over 16: records allocated one after another get slots in
// the same order, so a walk down a chain reads the table in order, where a
// mixing hash would scatter the reads. A power-of-two mask would put records
// of one regular size onto few slots; the prime avoids that. The load stays
// at most 3/4, growing to the next prime of about twice the capacity; large
// tables ask for huge pages. Entries are never removed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <new>
#include <utility>

#include "core/aligned_alloc.h"
#include "core/portable.h"

namespace tolvane {

// Capacities: primes, each about twice the one before.
inline constexpr std::uint32_t INDEX_TABLE_PRIMES[] = {
    53,        97,        193,       389,       769,        1543,        3079,
    6151,      12289,     24593,     49157,     98317,      196613,      393241,
    786433,    1572869,   3145739,   6291469,   12582917,   25165843,    50331653,
    100663319, 201326611, 402653189, 805306457, 1610612741, 3221225473U, 4294967291U};

class IndexTable {
 public:
  static constexpr std::int64_t NONE = -1;

  IndexTable() = default;
  ~IndexTable() { std::free(slots_); }
  IndexTable(const IndexTable&) = delete;
  IndexTable& operator=(const IndexTable&) = delete;

  std::size_t size() const { return size_; }

  // The first invariant `table` breaks, or null: its load is at most 3/4,
  // its size is the number of occupied slots, and a search for each stored
  // fingerprint reaches its slot before an empty one.
  friend const char* broken_invariant(const IndexTable& table) {
    if (table.size_ * 4 > std::size_t{table.capacity_} * 3) return "IndexTable: load above 3/4";
    std::size_t occupied = 0;
    for (std::uint32_t i = 0; i < table.capacity_; ++i) {
      if (table.slots_[i].index == 0) continue;
      ++occupied;
      for (std::uint32_t j = table.home(table.slots_[i].fingerprint); j != i; j = table.next(j)) {
        if (table.slots_[j].index == 0) return "IndexTable: a slot lies beyond an empty one";
      }
    }
    return occupied == table.size_ ? nullptr : "IndexTable: size differs from the occupied slots";
  }

  // The first index stored under `fingerprint` for which `is_key(index)`
  // holds, or NONE.
  template <typename IsKey>
  std::int64_t find(std::uint32_t fingerprint, IsKey&& is_key) const {
    if (capacity_ == 0) return NONE;
    for (std::uint32_t i = home(fingerprint);; i = next(i)) {
      const Slot slot = slots_[i];
      if (slot.index == 0) return NONE;
      if (slot.fingerprint == fingerprint && is_key(slot.index - 1)) return slot.index - 1;
    }
  }

  // Makes room for one more entry. Throws std::bad_alloc, leaving the table
  // as it was.
  void reserve_one() {
    if ((size_ + 1) * 4 <= std::size_t{capacity_} * 3) return;
    std::size_t p = 0;
    while (p < std::size(INDEX_TABLE_PRIMES) && INDEX_TABLE_PRIMES[p] <= capacity_) ++p;
    if (p == std::size(INDEX_TABLE_PRIMES)) throw std::bad_alloc();
    rehash(INDEX_TABLE_PRIMES[p]);
  }

  // After reserve_one(): stores `index` under `fingerprint`. An index whose
  // entry has the same key (`is_key(stored)`) stays and false is returned,
  // unless `replace` puts the new index in its place.
  template <typename IsKey>
  bool put(std::uint32_t fingerprint, std::uint32_t index, IsKey&& is_key, bool replace) {
    std::uint32_t i = home(fingerprint);
    for (;; i = next(i)) {
      const Slot slot = slots_[i];
      if (slot.index == 0) break;
      if (slot.fingerprint == fingerprint && is_key(slot.index - 1)) {
        if (replace) slots_[i].index = index + 1;
        return false;
      }
    }
    slots_[i] = {fingerprint, index + 1};
    ++size_;
    return true;
  }

 private:
  struct Slot {
    std::uint32_t fingerprint;
    std::uint32_t index;  // plus one; 0 is an empty slot
  };

  // The remainder by multiplications with a precomputed inverse (Lemire's
  // fastmod), in place of a division.
  std::uint32_t home(std::uint32_t fingerprint) const {
    const std::uint64_t low = inverse_ * fingerprint;
    return static_cast<std::uint32_t>(mul_high64(low, capacity_));
  }
  std::uint32_t next(std::uint32_t i) const { return i + 1 == capacity_ ? 0 : i + 1; }

  void rehash(std::uint32_t capacity) {
    const std::size_t bytes = std::size_t{capacity} * sizeof(Slot);
    auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (slots == nullptr) throw std::bad_alloc();
    if (bytes >= HUGE_PAGE_THRESHOLD) advise_huge_pages(slots, bytes);
    Slot* old = std::exchange(slots_, slots);
    const std::uint32_t old_capacity = std::exchange(capacity_, capacity);
    inverse_ = ~std::uint64_t{0} / capacity + 1;
    for (std::uint32_t i = 0; i < old_capacity; ++i) {
      if (old[i].index == 0) continue;
      std::uint32_t j = home(old[i].fingerprint);
      while (slots_[j].index != 0) j = next(j);
      slots_[j] = old[i];
    }
    std::free(old);
  }

  Slot* slots_ = nullptr;
  std::uint32_t capacity_ = 0;
  std::uint64_t inverse_ = 0;
  std::size_t size_ = 0;
};

}  // namespace tolvane
