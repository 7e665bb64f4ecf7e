// The sparse representation's buffer: a set of distinct sparse values in a
// flat open-addressing table. It grows by doubling up to the size its budget
// needs and keeps its allocation when cleared, so adding a value allocates
// nothing once the table has reached its working size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantorelle {

class SparseBuffer {
 public:
  // Sparse values are below 2^31, so this never collides with one.
  static constexpr std::uint32_t EMPTY = 0xFFFFFFFFu;

  SparseBuffer() = default;
  // A copy of an empty buffer starts unallocated instead of duplicating the
  // empty table; it grows again on first use.
  SparseBuffer(const SparseBuffer& other)
      : slots_(other.size_ == 0 ? std::vector<std::uint32_t>() : other.slots_),
        size_(other.size_),
        shift_(other.size_ == 0 ? 64 : other.shift_),
        multiplier_(other.multiplier_) {}
  SparseBuffer& operator=(const SparseBuffer& other) {
    if (this != &other) *this = SparseBuffer(other);
    return *this;
  }
  SparseBuffer(SparseBuffer&&) noexcept = default;
  SparseBuffer& operator=(SparseBuffer&&) noexcept = default;

  // Inserts value; a value already present changes nothing.
  void insert(std::uint32_t value) {
    // Linear probing stays short up to three quarters full.
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot_of(value);
    while (true) {
      const std::uint32_t held = slots_[i];
      if (held == value) return;
      if (held == EMPTY) {
        slots_[i] = value;
        ++size_;
        return;
      }
      i = (i + 1) & mask;
    }
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Empties the set, keeping its allocation.
  void clear();

  // Appends the values, in no particular order.
  void append_to(std::vector<std::uint32_t>& out) const;

  template <class F>
  void for_each(F&& f) const {
    if (size_ == 0) return;
    for (std::uint32_t value : slots_) {
      if (value != EMPTY) f(value);
    }
  }

 private:
  std::size_t slot_of(std::uint32_t value) const {
    // Multiplicative hashing: the top bits of the product pick the slot.
    return static_cast<std::size_t>((value * multiplier_) >> shift_);
  }
  // A random odd multiplier, fixed per process: stored sparse values come
  // from untrusted bytes, and a known multiplier would let a crafted sketch
  // pile its values into one probe run. Nothing depends on slot order.
  static std::uint64_t process_multiplier();
  void grow();

  std::vector<std::uint32_t> slots_;
  std::size_t size_ = 0;
  int shift_ = 64;
  std::uint64_t multiplier_ = process_multiplier();
};

}  // namespace vantorelle
