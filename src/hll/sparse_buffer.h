// The sparse representation's buffer: a set of distinct sparse values in a
// flat open-addressing table. It grows by doubling up to the size its budget
// needs and keeps its allocation when cleared, so adding a value allocates
// nothing once the table has reached its working size.
//
// The table has two layouts:
//
//   ordered    a value's home slot is a monotone function of the value and
//              the occupied slots hold the values in ascending order
//              (bidirectional linear probing: an insertion opens a gap at
//              the value's place in the order by moving the shorter side of
//              its run one slot towards the nearest empty slot). Reading
//              the slots front to back gives the sorted buffer, so a flush
//              needs no sort.
//   scattered  a random per-process multiplier picks the home slot, and
//              plain linear probing places the value; a flush sorts.
//
// Hash-made values spread evenly over the monotone home function, so the
// ordered layout stays cheap. Values chosen to crowd one stretch of it
// (from crafted stored data, or inputs ground to cluster their hashes)
// would make its runs long; the table counts the slots its insertions
// visit and moves, and past a budget proportional to its contents it
// switches to the scattered layout until the next clear. There, a crafted
// set cannot predict which slots its values land in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hll/encoding.h"

namespace vantorelle {

class SparseBuffer {
 public:
  // Sparse values are below 2^31, so this never collides with one.
  static constexpr std::uint32_t EMPTY = 0xFFFFFFFFu;

  // A buffer for values of `encoding`, whose layout sets the home slots of
  // the ordered table, that is flushed once it holds more than
  // `max_elements` values.
  SparseBuffer(const SparseEncoding& encoding, std::uint64_t max_elements)
      : SparseBuffer(encoding.normal_precision(), encoding.sparse_precision(),
                     encoding.rho_encoded_flag(), max_elements) {}
  // A buffer for arbitrary 32-bit values (homes spread over the whole range)
  // of any number.
  SparseBuffer() : SparseBuffer(1, 31, 0x80000000u, UINT64_MAX) {}

  // A copy of an empty buffer starts unallocated instead of duplicating the
  // empty table; it grows again on first use.
  SparseBuffer(const SparseBuffer& other)
      : slots_(other.size_ == 0 ? std::vector<std::uint32_t>() : other.slots_),
        size_(other.size_),
        ordered_(other.size_ == 0 ? true : other.ordered_),
        work_(other.size_ == 0 ? 0 : other.work_),
        home_scale_(other.size_ == 0 ? 0 : other.home_scale_),
        grow_at_(other.size_ == 0 ? 0 : other.grow_at_),
        shift_(other.size_ == 0 ? 64 : other.shift_),
        full_slots_(other.full_slots_),
        key_(other.key_),
        multiplier_(other.multiplier_) {}
  SparseBuffer& operator=(const SparseBuffer& other) {
    if (this != &other) *this = SparseBuffer(other);
    return *this;
  }
  SparseBuffer(SparseBuffer&&) noexcept = default;
  SparseBuffer& operator=(SparseBuffer&&) noexcept = default;

  // Inserts value; a value already present changes nothing.
  void insert(std::uint32_t value) {
    if (size_ >= grow_at_) [[unlikely]] grow();
    if (ordered_) [[likely]] {
      const std::size_t home = ordered_home(value);
      const std::uint32_t held = slots_[home];
      if (held == EMPTY) {
        slots_[home] = value;
        ++size_;
        return;
      }
      if (held == value) return;
      insert_ordered_displaced(value, home);
      return;
    }
    insert_scattered(value);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Whether the slots currently hold the values in ascending order.
  bool ordered() const { return ordered_; }
  // The table's current number of slots (its allocation).
  std::size_t slot_count() const { return slots_.size(); }

  // Empties the set, keeping its allocation; the ordered layout is used
  // again from here on.
  void clear();

  // Appends the values, in no particular order.
  void append_to(std::vector<std::uint32_t>& out) const;
  // Appends the values in ascending order.
  void append_sorted_to(std::vector<std::uint32_t>& out) const;
  // Moves the values, ascending, to the front of the table and returns
  // them there, without allocating. Until clear() the set is unusable: the
  // flush calls this, writes the values out, then clears.
  std::span<std::uint32_t> sort_in_place();

 private:
  // The monotone key of a value: plain values keep their order below 2^sp,
  // rho-encoded values follow ordered by normal index (their rho only
  // orders values of one index, which share a key). Hash-made values are
  // about equally dense in both parts. Values outside the encoding are
  // clamped, which keeps the key monotone over all 32-bit values.
  struct KeyLayout {
    std::uint32_t flag;
    std::uint64_t plain_max;   // 2^sp - 1
    std::uint64_t rho_base;    // 2^sp
    std::uint64_t index_max;   // 2^p - 1
    std::uint64_t key_count;   // 2^sp + 2^p
  };

  SparseBuffer(std::int32_t normal_precision, std::int32_t sparse_precision, std::uint32_t flag,
               std::uint64_t max_elements);

  std::uint64_t key_of(std::uint32_t value) const {
    if (value < key_.flag) return value < key_.plain_max ? value : key_.plain_max;
    const std::uint64_t index = (value - key_.flag) >> RHOW_BITS;
    return key_.rho_base + (index < key_.index_max ? index : key_.index_max);
  }
  // key * slots / key_count, by a fixed-point scale; below the slot count.
  std::size_t ordered_home(std::uint32_t value) const {
    return static_cast<std::size_t>((key_of(value) * home_scale_) >> HOME_SCALE_BITS);
  }
  std::size_t scattered_home(std::uint32_t value) const {
    // Multiplicative hashing: the top bits of the product pick the slot.
    return static_cast<std::size_t>((value * multiplier_) >> shift_);
  }

  void insert_ordered_displaced(std::uint32_t value, std::size_t home);
  void insert_scattered(std::uint32_t value);
  // Counts insertion work in the ordered layout; past the budget the table
  // is laid out scattered.
  void charge(std::size_t steps);
  void lay_out(std::vector<std::uint32_t>& old, std::size_t count);
  void set_slot_count(std::size_t count);
  void grow();

  // A random odd multiplier, fixed per process: stored sparse values come
  // from untrusted bytes, and a known multiplier would let a crafted sketch
  // pile its values into one probe run. Nothing depends on slot order.
  static std::uint64_t process_multiplier();

  static constexpr int HOME_SCALE_BITS = 40;

  std::vector<std::uint32_t> slots_;
  std::size_t size_ = 0;
  bool ordered_ = true;
  // Slots visited and moved by ordered insertions since the last layout.
  std::uint64_t work_ = 0;
  std::uint64_t home_scale_ = 0;
  // The size at which the next insertion first grows the table.
  std::size_t grow_at_ = 0;
  int shift_ = 64;
  // The slot count that a table growing at three quarters full reaches for
  // the largest number of values it will hold before a flush. Below it the
  // table grows at half full, which keeps probe runs short; at it, it fills
  // to three quarters. Either way it never takes more room than that.
  std::size_t full_slots_;
  KeyLayout key_;
  std::uint64_t multiplier_ = process_multiplier();
};

}  // namespace vantorelle
