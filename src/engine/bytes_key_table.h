// The groups of one plain text or binary key column, as one thread meets
// them: a compact copy of each group's key and a table of 8-byte slots that
// finds a key's group from its 32-bit hash.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/key_hashing.h"
#include "engine/key_length.h"
#include "engine/released_memory.h"
#include "utils/mapped_allocator.h"

namespace vantorelle::engine::grouping {

// A row's key: its bytes.
struct BytesKey {
  const std::uint8_t* data;
  std::uint64_t size;
};

// A row's key as it is looked up: its bytes, and their short_words when
// there are at most 16 (which with the length are the whole key).
struct RowKey {
  BytesKey bytes;
  ShortWords words;
};

[[gnu::always_inline]] inline RowKey row_key(const BytesKey& bytes) {
  RowKey key{bytes, {}};
  if (bytes.size <= 16) key.words = short_words(bytes.data, static_cast<std::size_t>(bytes.size));
  return key;
}

// The hash of a row's key, in the 32 bits the table keeps.
[[gnu::always_inline]] inline std::uint32_t bytes_key_hash(const RowKey& key, std::uint64_t seed) {
  const auto size = static_cast<std::size_t>(key.bytes.size);
  const std::uint64_t h =
      size <= 16 ? hash_short_words(key.words, size, seed) : hash_long_bytes(key.bytes.data, size, seed);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

// The groups' keys, one entry each in order of group number: the group
// (4 bytes), the key's length (a varint: one byte below 128) and its bytes.
// An entry is named by a 32-bit reference, its block and its place there,
// so the store grows a block at a time and never copies what it holds. The
// first two blocks are small (64 KiB, 512 KiB), for the many columns of few
// groups; the others take 2 MiB, a huge page each (an entry larger than
// that has a block of its own).
class KeyStore {
 public:
  static constexpr int kBlockBits = 21;
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockBits;
  // References stay below 2^32 - 2^21, so a reference + 1 fits in 32 bits.
  static constexpr std::size_t kMostBlocks = 2047;

  // A new entry's reference, or UINT32_MAX when the store is full (about
  // 4 GiB).
  std::uint32_t add(std::uint32_t group, const BytesKey& key) {
    const std::size_t need = 4 + length_bytes(key.size) + static_cast<std::size_t>(key.size);
    if (used_ + need > capacity_ || used_ >= kBlockSize) {
      if (blocks_.size() == kMostBlocks) return UINT32_MAX;
      if (!blocks_.empty()) filled_.push_back(used_);
      const std::size_t size = blocks_.empty() ? kBlockSize / 32 : blocks_.size() == 1 ? kBlockSize / 4 : kBlockSize;
      capacity_ = std::max(need, size);
      // Not value-initialised: pages are only touched as entries fill them.
      blocks_.emplace_back(capacity_);
      used_ = 0;
    }
    std::uint8_t* at = blocks_.back().get() + used_;
    std::memcpy(at, &group, 4);
    at += 4;
    at = put_length(at, key.size);
    if (key.size != 0) std::memcpy(at, key.data, static_cast<std::size_t>(key.size));
    const auto ref = static_cast<std::uint32_t>(((blocks_.size() - 1) << kBlockBits) | used_);
    used_ += need;
    return ref;
  }

  const std::uint8_t* entry(std::uint32_t ref) const {
    return blocks_[ref >> kBlockBits].get() + (ref & (kBlockSize - 1));
  }

  // The store's blocks as they are now (until the next add), for
  // entry_in().
  const ReleasedBytes* blocks() const { return blocks_.data(); }
  static const std::uint8_t* entry_in(const ReleasedBytes* blocks, std::uint32_t ref) {
    return blocks[ref >> kBlockBits].get() + (ref & (kBlockSize - 1));
  }

  // The group of the entry at `at`, and its key.
  static std::uint32_t group_at(const std::uint8_t* at) {
    std::uint32_t group;
    std::memcpy(&group, at, 4);
    return group;
  }
  // Whether the entry at `at` holds `key`.
  [[gnu::always_inline]] static bool holds(const std::uint8_t* at, const RowKey& key) {
    const std::uint64_t size = key.bytes.size;
    if (size <= 16) {
      // (a length below 128 is its varint's one byte)
      if (at[4] != size) return false;
      const ShortWords words = short_words(at + 5, static_cast<std::size_t>(size));
      return words.first == key.words.first && words.last == key.words.last;
    }
    const BytesKey stored = key_at(at);
    return stored.size == size && std::memcmp(stored.data, key.bytes.data, static_cast<std::size_t>(size)) == 0;
  }

  static BytesKey key_at(const std::uint8_t* at) {
    std::uint64_t size;
    at = read_length(at + 4, &size);
    return {at, size};
  }

  // Calls f(group, key) for each entry, in order of group number.
  template <class F>
  void each(F&& f) const {
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      const std::uint8_t* at = blocks_[b].get();
      const std::uint8_t* end = at + (b + 1 == blocks_.size() ? used_ : filled_[b]);
      while (at < end) {
        const BytesKey key = key_at(at);
        f(group_at(at), key);
        at = key.data + key.size;
      }
    }
  }

 private:
  std::vector<ReleasedBytes> blocks_;
  std::vector<std::size_t> filled_;  // of each block but the last
  std::size_t used_ = 0;
  std::size_t capacity_ = 0;
};

// Open addressing over the entries of a KeyStore, keyed by a key's 32-bit
// hash: a slot is the hash and its entry's reference + 1 (0: empty) in one
// word, so a lookup reads one slot and, when the hashes agree, the entry.
// Grows at half full while small (a lookup then rarely probes past its first
// slot), three quarters past that, where the table is most of the memory.
class BytesKeyTable {
 public:
  BytesKeyTable() { resize(1024); }
  BytesKeyTable(BytesKeyTable&&) = default;
  BytesKeyTable& operator=(BytesKeyTable&& other) noexcept {
    release_vector(slots_);
    slots_ = std::move(other.slots_);
    mask_ = other.mask_;
    shift_ = other.shift_;
    size_ = other.size_;
    return *this;
  }
  ~BytesKeyTable() { release_vector(slots_); }

  // Grows the table now, if need be, so that it holds `count` entries in
  // all without growing again.
  void reserve(std::size_t count) {
    std::size_t slots = slots_.size();
    while (count > (slots <= kLoose ? slots / 2 : slots / 4 * 3)) slots *= 2;
    if (slots != slots_.size()) resize(slots);
  }

  // Whether the table has outgrown the faster caches.
  bool large() const { return mask_ >= (1u << 15); }

  void prefetch(std::uint32_t hash) const { __builtin_prefetch(slots_.data() + place(hash, shift_)); }

  // The table as it is now (until the next add): a lookup that only finds,
  // its state in the caller's registers rather than reloaded at every row.
  struct View {
    const std::uint64_t* slots;
    std::size_t mask;
    int shift;

    // The reference of the entry of `hash` that same(ref) accepts, or
    // UINT32_MAX.
    template <class Same>
    [[gnu::always_inline]] std::uint32_t find(std::uint32_t hash, Same&& same) const {
      for (std::size_t at = place(hash, shift); ; at = (at + 1) & mask) {
        const std::uint64_t slot = slots[at];
        if (slot == 0) return UINT32_MAX;
        if (static_cast<std::uint32_t>(slot) == hash) {
          const auto ref = static_cast<std::uint32_t>(slot >> 32) - 1;
          if (same(ref)) return ref;
        }
      }
    }

    // The reference in the first slot that holds `hash`, or UINT32_MAX: a
    // candidate, its key not yet compared.
    [[gnu::always_inline]] std::uint32_t candidate(std::uint32_t hash) const {
      for (std::size_t at = place(hash, shift); ; at = (at + 1) & mask) {
        const std::uint64_t slot = slots[at];
        if (slot == 0) return UINT32_MAX;
        if (static_cast<std::uint32_t>(slot) == hash) return static_cast<std::uint32_t>(slot >> 32) - 1;
      }
    }
  };
  View view() const { return View{slots_.data(), mask_, shift_}; }

  std::size_t slot_count() const { return slots_.size(); }
  // Calls f(hash, ref) for the entry of each filled slot of [begin, end).
  template <class F>
  void each_entry(std::size_t begin, std::size_t end, F&& f) const {
    for (std::size_t at = begin; at < end; ++at) {
      const std::uint64_t slot = slots_[at];
      if (slot != 0) f(static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>(slot >> 32) - 1);
    }
  }

  // The group of the entry of `hash` whose key same(ref) accepts (it returns
  // the entry's group, or UINT32_MAX for another key), or else the group of
  // the entry make() adds (it returns {ref, group}).
  template <class Same, class Make>
  [[gnu::always_inline]] std::uint32_t find_or_add(std::uint32_t hash, Same&& same, Make&& make) {
    std::size_t at = place(hash, shift_);
    while (true) {
      const std::uint64_t slot = slots_[at];
      if (slot == 0) break;
      if (static_cast<std::uint32_t>(slot) == hash) {
        const std::uint32_t group = same(static_cast<std::uint32_t>(slot >> 32) - 1);
        if (group != UINT32_MAX) return group;
      }
      at = (at + 1) & mask_;
    }
    const auto [ref, group] = make();
    add(at, hash, ref);
    return group;
  }

 private:
  // The top bits of the hash times an odd constant: every bit of the hash
  // reaches the slot's number, so hashes alike in their low bits (the rows
  // of one partition, see bytes_groups.h) still spread over every slot.
  static std::size_t place(std::uint32_t hash, int shift) {
    return static_cast<std::size_t>(static_cast<std::uint64_t>(hash * 0x9E3779B1u) << 32 >> shift);
  }

  static constexpr std::size_t kLoose = std::size_t{1} << 16;

  [[gnu::noinline]] void add(std::size_t at, std::uint32_t hash, std::uint32_t ref) {
    slots_[at] = static_cast<std::uint64_t>(ref + 1) << 32 | hash;
    const std::size_t most = slots_.size() <= kLoose ? slots_.size() / 2 : slots_.size() / 4 * 3;
    if (++size_ > most) resize(slots_.size() * 2);
  }

  void resize(std::size_t count) {
    MappedVector<std::uint64_t> slots(count, 0, MappedAllocator<std::uint64_t>(true));
    const std::size_t mask = count - 1;
    const int shift = 64 - std::countr_zero(count);
    for (const std::uint64_t slot : slots_) {
      if (slot == 0) continue;
      std::size_t at = place(static_cast<std::uint32_t>(slot), shift);
      while (slots[at] != 0) at = (at + 1) & mask;
      slots[at] = slot;
    }
    slots_.swap(slots);
    release_vector(slots);
    mask_ = mask;
    shift_ = shift;
  }

  // (from 1 MiB on mapped from the system, huge pages from 2 MiB: see
  // MappedAllocator)
  MappedVector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  int shift_ = 64;
  std::size_t size_ = 0;
};

}  // namespace vantorelle::engine::grouping
