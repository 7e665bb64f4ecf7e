#include "hll/sparse_buffer.h"

#include <algorithm>
#include <random>

namespace vantorelle {

namespace {
constexpr std::size_t INITIAL_SLOTS = 32;
}

std::uint64_t SparseBuffer::process_multiplier() {
  static const std::uint64_t multiplier = [] {
    std::random_device device;
    const std::uint64_t high = device();
    return ((high << 32) ^ device()) | 1;
  }();
  return multiplier;
}

void SparseBuffer::clear() {
  if (size_ == 0) return;
  std::fill(slots_.begin(), slots_.end(), EMPTY);
  size_ = 0;
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

void SparseBuffer::grow() {
  const std::size_t new_size = slots_.empty() ? INITIAL_SLOTS : slots_.size() * 2;
  std::vector<std::uint32_t> old(new_size, EMPTY);
  old.swap(slots_);
  shift_ = 64 - __builtin_ctzll(new_size);
  const std::size_t mask = new_size - 1;
  for (std::uint32_t value : old) {
    if (value == EMPTY) continue;
    std::size_t i = slot_of(value);
    while (slots_[i] != EMPTY) i = (i + 1) & mask;
    slots_[i] = value;
  }
}

}  // namespace vantorelle
