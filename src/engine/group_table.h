// The hash table of key grouping: open addressing over group numbers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/released_memory.h"
#include "utils/mapped_allocator.h"

namespace vantorelle::engine::grouping {

// Open addressing over group numbers, keyed by a 64-bit hash (or the key
// itself), growing at half full while small and at three quarters full once
// large (each thread has a table of its own, so their size is most of the
// grouping's memory). Key and group share a slot, so a lookup touches one
// cache line.
class GroupTable {
 public:
  GroupTable() { resize(1024); }
  // (a table moved from holds nothing: it is only destroyed)
  GroupTable(GroupTable&&) = default;
  GroupTable& operator=(GroupTable&&) = delete;
  ~GroupTable() { release_vector(slots_); }

  // Whether the table has outgrown the faster caches.
  bool large() const { return mask_ >= (1u << 15); }

  // Starts loading the slot where a lookup of `hash` begins.
  void prefetch(std::uint64_t hash) const {
    __builtin_prefetch(slots_.data() + place(hash, shift_));
  }

  // The slot's `extra` (see find_or_add) in the first slot a lookup of
  // `hash` reads, when that slot holds `hash`, else UINT32_MAX: a guess, for
  // prefetching what the lookup will compare.
  std::uint32_t peek(std::uint64_t hash) const {
    const Slot& slot = slots_[place(hash, shift_)];
    return slot.group != 0 && slot.hash == hash ? slot.extra : UINT32_MAX;
  }

  // The group of `hash` for which same(group, extra) holds, or UINT32_MAX:
  // a lookup that only reads, so threads may share the table.
  template <class Same>
  std::uint32_t find(std::uint64_t hash, Same&& same) const {
    for (std::size_t at = place(hash, shift_); ; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (slot.group == 0) return UINT32_MAX;
      if (slot.hash == hash && same(slot.group - 1, slot.extra)) return slot.group - 1;
    }
  }

  // The group of `hash` for which same(group) holds, or a new group made by
  // make().
  // A new group's slot keeps `extra` (32 bits of the caller's, given back
  // to same()).
  template <class Same, class Make>
  std::uint32_t find_or_add(std::uint64_t hash, Same&& same, Make&& make, std::uint32_t extra = 0) {
    std::size_t at = place(hash, shift_);
    while (true) {
      const Slot& slot = slots_[at];
      if (slot.group == 0) break;
      if (slot.hash == hash && same(slot.group - 1, slot.extra)) return slot.group - 1;
      at = (at + 1) & mask_;
    }
    const std::uint32_t group = make();
    slots_[at] = Slot{hash, group + 1, extra};
    // Half full while the table is small enough for the faster caches (a
    // lookup then rarely probes past its first slot), three quarters past
    // that, where the table's size is the grouping's memory.
    const std::size_t most = slots_.size() <= kLoose ? slots_.size() / 2 : slots_.size() / 4 * 3;
    if (++size_ > most) resize(slots_.size() * 2);
    return group;
  }

 private:
  // A slot from the top bits of the hash times an odd constant: one
  // multiply, and every bit of the hash reaches the slot's number.
  static std::size_t place(std::uint64_t hash, int shift) {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift);
  }

  static constexpr std::size_t kLoose = std::size_t{1} << 16;

  struct Slot {
    std::uint64_t hash;
    std::uint32_t group;  // 0: empty, else group + 1
    std::uint32_t extra;
  };

  void resize(std::size_t count) {
    MappedVector<Slot> slots(count, Slot{0, 0, 0}, MappedAllocator<Slot>(true));
    const std::size_t mask = count - 1;
    const int shift = 64 - std::countr_zero(count);
    for (const Slot& slot : slots_) {
      if (slot.group == 0) continue;
      std::size_t at = place(slot.hash, shift);
      while (slots[at].group != 0) at = (at + 1) & mask;
      slots[at] = slot;
    }
    slots_.swap(slots);
    release_vector(slots);
    mask_ = mask;
    shift_ = shift;
  }

  // (from 1 MiB on mapped from the system, huge pages from 2 MiB: see
  // MappedAllocator)
  MappedVector<Slot> slots_;
  std::size_t mask_ = 0;
  int shift_ = 64;
  std::size_t size_ = 0;
};

}  // namespace vantorelle::engine::grouping
