#include "hll/sparse_buffer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>

namespace vantorelle {

namespace {

constexpr std::size_t INITIAL_SLOTS = 32;

// Insertion work the ordered layout may spend per held value (plus a fixed
// allowance) before it gives way to the scattered one. Hash-made values
// cost a few slots each on average even at three quarters full.
constexpr std::uint64_t WORK_PER_VALUE = 24;
constexpr std::uint64_t WORK_ALLOWANCE = 4096;

}  // namespace

SparseBuffer::SparseBuffer(std::int32_t normal_precision, std::int32_t sparse_precision,
                           std::uint32_t flag, std::uint64_t max_elements) {
  // The smallest table of three quarters' load that holds max_elements + 1.
  full_slots_ = SIZE_MAX;
  if (max_elements < (std::uint64_t{1} << 60)) {
    full_slots_ = INITIAL_SLOTS;
    while (full_slots_ / 4 * 3 <= max_elements) full_slots_ *= 2;
  }
  key_.flag = flag;
  key_.rho_base = std::uint64_t{1} << sparse_precision;
  key_.plain_max = key_.rho_base - 1;
  key_.index_max = (std::uint64_t{1} << normal_precision) - 1;
  key_.key_count = key_.rho_base + key_.index_max + 1;
}

std::uint64_t SparseBuffer::process_multiplier() {
  static const std::uint64_t multiplier = [] {
    std::random_device device;
    const std::uint64_t high = device();
    return ((high << 32) ^ device()) | 1;
  }();
  return multiplier;
}

void SparseBuffer::set_slot_count(std::size_t count) {
  slots_.assign(count, EMPTY);
  shift_ = 64 - std::countr_zero(count);
  grow_at_ = count < full_slots_ ? count / 2 : count / 4 * 3;
  // floor(count * 2^40 / key_count): keys below key_count give homes below
  // count, and key * scale stays below count * 2^40 <= 2^63.
  home_scale_ = static_cast<std::uint64_t>(
      (static_cast<unsigned __int128>(count) << HOME_SCALE_BITS) / key_.key_count);
}

void SparseBuffer::clear() {
  if (size_ != 0) std::fill(slots_.begin(), slots_.end(), EMPTY);
  size_ = 0;
  ordered_ = true;
  work_ = 0;
}

void SparseBuffer::append_to(std::vector<std::uint32_t>& out) const {
  const std::size_t start = out.size();
  // One spare element: the branch-free copy below writes every slot and
  // advances only past the occupied ones.
  out.resize(start + size_ + 1);
  std::uint32_t* dst = out.data() + start;
  std::size_t written = 0;
  for (std::uint32_t value : slots_) {
    dst[written] = value;
    written += value != EMPTY;
  }
  out.resize(start + size_);
}

void SparseBuffer::append_sorted_to(std::vector<std::uint32_t>& out) const {
  if (ordered_) {
    append_to(out);
    return;
  }
  const std::size_t start = out.size();
  append_to(out);
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

std::span<std::uint32_t> SparseBuffer::sort_in_place() {
  std::uint32_t* const s = slots_.data();
  std::size_t written = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const std::uint32_t value = s[i];
    s[written] = value;
    written += value != EMPTY;
  }
  if (!ordered_) std::sort(s, s + written);
  return std::span<std::uint32_t>(s, written);
}

void SparseBuffer::charge(std::size_t steps) {
  work_ += steps;
  if (work_ <= WORK_PER_VALUE * size_ + WORK_ALLOWANCE) return;
  std::vector<std::uint32_t> old;
  old.swap(slots_);
  ordered_ = false;
  lay_out(old, old.size());
}

void SparseBuffer::insert_ordered_displaced(std::uint32_t value, std::size_t home) {
  std::uint32_t* const s = slots_.data();
  const std::size_t n = slots_.size();
  // The gap opens before `at`: s[at - 1] < value < s[at] once found.
  std::size_t at;
  std::size_t steps;
  if (s[home] < value) {
    // EMPTY is above every value, so this also stops at an empty slot.
    at = home + 1;
    while (at < n && s[at] < value) ++at;
    steps = at - home;
    if (at < n) {
      if (s[at] == value) return charge(steps);
      if (s[at] == EMPTY) {
        s[at] = value;
        ++size_;
        return charge(steps);
      }
    }
  } else {
    at = home;
    while (at > 0 && s[at - 1] != EMPTY && s[at - 1] > value) --at;
    steps = home - at + 1;
    if (at > 0) {
      if (s[at - 1] == value) return charge(steps);
      if (s[at - 1] == EMPTY) {
        s[at - 1] = value;
        ++size_;
        return charge(steps);
      }
    }
  }
  // Both neighbours of the gap (where they exist) are held: move the side
  // of the run nearer to an empty slot one slot towards it. The two sides
  // are searched in step, so the search ends at the nearer empty slot.
  std::size_t right = at;  // the empty slot is `right`
  std::size_t left = at;   // the empty slot is `left - 1`
  while (true) {
    if (right < n) {
      if (s[right] == EMPTY) break;
      ++right;
    }
    if (left > 0) {
      if (s[left - 1] == EMPTY) break;
      --left;
    }
  }
  // Most moves are of a slot or two, cheaper by hand than through memmove.
  if (right < n && s[right] == EMPTY) {
    const std::size_t moved = right - at;
    if (moved <= 2) {
      if (moved == 2) s[at + 2] = s[at + 1];
      s[at + 1] = s[at];
    } else {
      std::memmove(s + at + 1, s + at, moved * sizeof *s);
    }
    s[at] = value;
    steps += 2 * moved + 1;
  } else {
    const std::size_t moved = at - left;
    if (moved <= 2) {
      if (moved != 0) s[left - 1] = s[left];
      if (moved == 2) s[left] = s[left + 1];
    } else {
      std::memmove(s + left - 1, s + left, moved * sizeof *s);
    }
    s[at - 1] = value;
    steps += 2 * moved + 1;
  }
  ++size_;
  charge(steps);
}

void SparseBuffer::insert_scattered(std::uint32_t value) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = scattered_home(value);
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

// Places the values of `old` (any layout; its slots are reused as scratch)
// into a fresh table of `count` slots, in the current layout.
void SparseBuffer::lay_out(std::vector<std::uint32_t>& old, std::size_t count) {
  set_slot_count(count);
  work_ = 0;
  // The held values, moved to the front in slot order (ascending when the
  // old table was ordered), without a branch per slot.
  std::size_t held = 0;
  for (std::size_t i = 0; i < old.size(); ++i) {
    const std::uint32_t value = old[i];
    old[held] = value;
    held += value != EMPTY;
  }
  if (!ordered_) {
    const std::size_t mask = count - 1;
    for (std::size_t k = 0; k < held; ++k) {
      const std::uint32_t value = old[k];
      std::size_t i = scattered_home(value);
      while (slots_[i] != EMPTY) i = (i + 1) & mask;
      slots_[i] = value;
    }
    return;
  }
  // Ascending values, each at its home or just after the one before: the
  // table is ordered without any search. A run pushed past the last slot
  // leaves the rest to the general insertion, which moves runs left.
  std::uint32_t* const s = slots_.data();
  std::size_t next = 0;
  std::size_t k = 0;
  for (; k < held; ++k) {
    const std::uint32_t value = old[k];
    const std::size_t at = std::max(ordered_home(value), next);
    if (at >= count) break;
    s[at] = value;
    next = at + 1;
  }
  if (k == held) return;
  size_ = k;
  for (; k < held; ++k) insert(old[k]);
}

void SparseBuffer::grow() {
  // Below the final size: four times larger (fewer re-layouts, lower load),
  // and straight to the final size from within a factor of four of it.
  // Never past the final size, which a table doubling at three quarters
  // full reaches too; beyond it (values never held between two flushes)
  // the table only doubles.
  std::size_t new_size = INITIAL_SLOTS;
  if (!slots_.empty()) {
    new_size = slots_.size() * 4 < full_slots_ / 2 ? slots_.size() * 4 : full_slots_;
    if (new_size <= slots_.size()) new_size = slots_.size() * 2;
  }
  std::vector<std::uint32_t> old;
  old.swap(slots_);
  lay_out(old, new_size);
}

}  // namespace vantorelle
