// Grouping by one plain (not dictionary-encoded) text or binary column: the
// common string key, on a path of its own. Each group keeps its key once, in
// a compact store (bytes_key_table.h), and nulls are one group beside the
// table.
//
// Threads split the work one of two ways:
//  - ranges: each thread numbers a contiguous range of rows with a table of
//    its own, then the later ranges' groups join the first range's in order.
//    Fast when the groups are few, but a group met in several ranges is
//    held once per range.
//  - partitions: the rows' hashes are computed on every thread (over
//    contiguous ranges) into the output; then thread p numbers, in row
//    order, the rows whose hash is p modulo the thread count (a power of
//    two), so each group lives in one thread's table only, its numbers
//    written over the hashes once every thread has read them; the
//    partitions' groups are then merged by first row. Used when a sample
//    of the rows shows many groups.
// Either way the groups are numbered in order of first appearance.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/arrow_values.h"
#include "engine/bytes_key_table.h"
#include "engine/column_chunks.h"
#include "engine/group_keys.h"
#include "utils/parallel.h"

namespace vantorelle::engine::grouping {

// How the threads split the rows; Auto chooses from a sample.
enum class BytesSplit { Auto, Ranges, Partitions };

namespace bytes_groups {

constexpr std::uint64_t kNullSize = UINT64_MAX;
constexpr RowKey kNullKey{{nullptr, kNullSize}, {}};
constexpr std::int64_t kBlock = 256;
// Slots of a table past the caches are fetched this many rows ahead.
constexpr std::int64_t kSlotAhead = 16;

// Calls f(read), read(index) giving the key of a present row of `array` at
// `index` (its offset included), in a form typed for the layout.
template <class F>
void with_key_reader(Kind kind, const ArrowArray& array, F&& f) {
  const auto offsets = [&](auto width) {
    using Offset = decltype(width);
    const auto* ends = static_cast<const std::uint8_t*>(array.buffers[1]);
    const auto* data = static_cast<const std::uint8_t*>(array.buffers[2]);
    f([ends, data](std::int64_t index) {
      Offset range[2];
      std::memcpy(range, ends + index * static_cast<std::int64_t>(sizeof(Offset)), sizeof range);
      return BytesKey{data + range[0], static_cast<std::uint64_t>(range[1] - range[0])};
    });
  };
  switch (kind) {
    case Kind::Utf8: case Kind::Binary: offsets(std::int32_t{}); return;
    case Kind::LargeUtf8: case Kind::LargeBinary: offsets(std::int64_t{}); return;
    default: {
      // A 16-byte view: the length, then up to 12 bytes inline, or a 4-byte
      // prefix, the data buffer's number and the offset in it.
      const auto* views = static_cast<const std::uint8_t*>(array.buffers[1]);
      const void* const* buffers = array.buffers;
      f([views, buffers](std::int64_t index) {
        const std::uint8_t* view = views + 16 * index;
        std::int32_t length;
        std::memcpy(&length, view, 4);
        if (length <= 12) return BytesKey{view + 4, static_cast<std::uint64_t>(length)};
        std::int32_t buffer, offset;
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        return BytesKey{static_cast<const std::uint8_t*>(buffers[2 + buffer]) + offset,
                        static_cast<std::uint64_t>(length)};
      });
    }
  }
}

// The groups of the keys of at most 16 bytes last looked up, by the low
// bits of their hash: while a thread has met few groups, nearly every row
// finds its group here, in one read that depends on nothing but the row's
// hash (where the table's lookup reads a slot, then the entry it names).
class ShortKeyCache {
 public:
  // Used while a thread has at most this many groups; past that, most rows
  // would miss.
  static constexpr std::size_t kGroups = 128;

  [[gnu::always_inline]] std::uint32_t find(std::uint32_t hash, const RowKey& key) const {
    const Line& line = lines_[hash & (kLines - 1)];
    return line.size == key.bytes.size && line.words.first == key.words.first && line.words.last == key.words.last
               ? line.group
               : UINT32_MAX;
  }
  void keep(std::uint32_t hash, const RowKey& key, std::uint32_t group) {
    if (key.bytes.size > 16) return;  // (a null's size is kNullSize)
    lines_[hash & (kLines - 1)] = Line{key.words, key.bytes.size, group};
  }

 private:
  static constexpr std::size_t kLines = 512;
  struct Line {
    ShortWords words;
    std::uint64_t size = UINT64_MAX - 1;  // no key's
    std::uint32_t group = UINT32_MAX;
  };
  std::vector<Line> lines_ = std::vector<Line>(kLines);
};

// The groups one thread meets, numbered in order of first appearance among
// its rows: each one's first row, key and table slot.
class alignas(kThreadOwnAlignment) Groups {
 public:
  std::vector<std::int64_t> first_rows;
  std::uint32_t null_group = UINT32_MAX;
  bool full = false;  // the key store ran out: the groups are not usable

  bool large() const { return table_.large(); }
  void reserve(std::size_t count) { table_.reserve(count); }
  void prefetch(std::uint32_t hash) const { table_.prefetch(hash); }

  std::uint32_t null(std::int64_t row) {
    if (null_group == UINT32_MAX) {
      null_group = static_cast<std::uint32_t>(first_rows.size());
      push_released(first_rows, row);
    }
    return null_group;
  }

  // The group of a present row's key; a new group has `row` as first row.
  [[gnu::always_inline]] std::uint32_t find_or_add(std::uint32_t hash, const RowKey& key, std::int64_t row) {
    return table_.find_or_add(
        hash,
        [&](std::uint32_t ref) {
          const std::uint8_t* at = store_.entry(ref);
          return KeyStore::holds(at, key) ? KeyStore::group_at(at) : UINT32_MAX;
        },
        [&] { return add(key, row); });
  }

  const KeyStore& store() const { return store_; }
  const BytesKeyTable& table() const { return table_; }
  ShortKeyCache& cache() { return cache_; }

 private:
  [[gnu::noinline]] std::pair<std::uint32_t, std::uint32_t> add(const RowKey& key, std::int64_t row) {
    const auto group = static_cast<std::uint32_t>(first_rows.size());
    std::uint32_t ref = store_.add(group, key.bytes);
    if (ref == UINT32_MAX) {
      full = true;
      ref = 0;
    }
    push_released(first_rows, row);
    return std::pair{ref, group};
  }

  KeyStore store_;
  BytesKeyTable table_;
  ShortKeyCache cache_;
};

// The first pass of a lookup in a table past the caches (see number()):
// each row's candidate entry, or UINT32_MAX, the candidates' entries
// fetched.
inline void find_candidates(const Groups& groups, const std::uint32_t* h, const RowKey* keys, std::int64_t n,
                            std::uint32_t* candidates) {
  const BytesKeyTable::View table = groups.table().view();
  const ReleasedBytes* blocks = groups.store().blocks();
  for (std::int64_t i = 0; i < std::min(n, kSlotAhead); ++i) groups.prefetch(h[i]);
  for (std::int64_t i = 0; i < n; ++i) {
    if (i + kSlotAhead < n) groups.prefetch(h[i + kSlotAhead]);
    const std::uint32_t ref = keys[i].bytes.size == kNullSize ? UINT32_MAX : table.candidate(h[i]);
    if (ref != UINT32_MAX) __builtin_prefetch(KeyStore::entry_in(blocks, ref));
    candidates[i] = ref;
  }
}

// Numbers n rows (at most kBlock): row i has hash h[i], key keys[i] (size
// kNullSize for a null) and row number row_of(i) in the table; put(i, group)
// takes its group.
//
// With a table past the caches, a lookup's two reads (the slot, then the
// entry it names) would each wait on memory, the second on the first. So
// the rows go in two passes: the first reads each row's slot (fetched a few
// rows ahead) and fetches the entry of the first slot whose hash agrees; the
// second, when those entries have arrived, compares the keys. A row whose
// candidate is missing or holds another key takes the full lookup, which
// also adds a new group.
template <class RowOf, class Put>
void number(Groups& groups, const std::uint32_t* h, const RowKey* keys, std::int64_t n, RowOf&& row_of,
            Put&& put) {
  const auto slow = [&](std::int64_t i) {
    return keys[i].bytes.size == kNullSize ? groups.null(row_of(i)) : groups.find_or_add(h[i], keys[i], row_of(i));
  };
  if (!groups.large()) {
    // Most rows find their group: while the groups are few, in the cache;
    // else through a view of the table and store, taken again after a row
    // adds a group.
    const bool cached = groups.first_rows.size() <= ShortKeyCache::kGroups;
    ShortKeyCache& cache = groups.cache();
    BytesKeyTable::View table = groups.table().view();
    const ReleasedBytes* blocks = groups.store().blocks();
    for (std::int64_t i = 0; i < n; ++i) {
      const RowKey& key = keys[i];
      std::uint32_t group = cached ? cache.find(h[i], key) : UINT32_MAX;
      if (group != UINT32_MAX) [[likely]] {
        put(i, group);
        continue;
      }
      std::uint32_t ref = UINT32_MAX;
      if (key.bytes.size != kNullSize) {
        ref = table.find(h[i], [&](std::uint32_t r) { return KeyStore::holds(KeyStore::entry_in(blocks, r), key); });
      }
      if (ref != UINT32_MAX) [[likely]] {
        group = KeyStore::group_at(KeyStore::entry_in(blocks, ref));
      } else {
        group = slow(i);
        table = groups.table().view();
        blocks = groups.store().blocks();
      }
      if (cached) cache.keep(h[i], key, group);
      put(i, group);
    }
    return;
  }
  std::uint32_t candidates[kBlock];
  find_candidates(groups, h, keys, n, candidates);
  // (a group added below leaves every candidate's entry where it was)
  for (std::int64_t i = 0; i < n; ++i) {
    const std::uint32_t ref = candidates[i];
    if (ref != UINT32_MAX) [[likely]] {
      const std::uint8_t* entry = groups.store().entry(ref);
      if (KeyStore::holds(entry, keys[i])) [[likely]] {
        put(i, KeyStore::group_at(entry));
        continue;
      }
    }
    put(i, slow(i));
  }
}

// Calls f(s, n, h, keys) for the rows [lo, hi) a block at a time: rows
// s .. s + n - 1 of the chunk, their hashes and keys; and start(first) as
// each chunk begins (its first row in the column).
struct Hasher {
  Kind kind;
  std::uint64_t seed;
  std::uint32_t kept_bits;  // all but in tests (kept_hash_bits)

  std::uint32_t hash(const RowKey& key) const {
    return key.bytes.size == kNullSize ? 0 : bytes_key_hash(key, seed) & kept_bits;
  }

  template <class Start, class F>
  void blocks(const ColumnChunks& column, std::int64_t lo, std::int64_t hi, Start&& start, F&& f) const {
    std::uint32_t h[kBlock];
    RowKey keys[kBlock];
    each_chunk_in(column, lo, hi, [&](const ArrowArray& array, std::int64_t first, std::int64_t begin,
                                      std::int64_t end) {
      start(first);
      const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
      with_key_reader(kind, array, [&](auto read) {
        // (in locals, which the loop's stores cannot change)
        std::uint32_t* const hashes = h;
        RowKey* const row_keys = keys;
        const std::uint32_t kept = kept_bits;
        const std::uint64_t key_seed = seed;
        const std::int64_t offset = array.offset;
        for (std::int64_t s = begin; s < end; s += kBlock) {
          const std::int64_t n = std::min(kBlock, end - s);
          for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t index = offset + s + i;
            if (validity != nullptr && !bit_set(validity, index)) {
              row_keys[i] = kNullKey;
              hashes[i] = 0;
            } else {
              row_keys[i] = row_key(read(index));
              hashes[i] = bytes_key_hash(row_keys[i], key_seed) & kept;
            }
          }
          if (!f(s, n, hashes, row_keys)) return;
        }
      });
    });
  }
};

// While a thread has met few groups nearly every row finds its group in
// the cache, so each row is read, hashed and looked up in one step, its key
// not kept for a later pass. Numbers rows from `lo` until the groups
// outgrow the cache or a key is too long for it; returns the first row not
// numbered (hi when all are).
inline std::int64_t number_few(const ColumnChunks& column, const Hasher& hasher, std::int64_t lo, std::int64_t hi,
                               Groups& groups, std::uint32_t* group_of_row) {
  std::int64_t next = lo;
  each_chunk_in(column, lo, hi, [&](const ArrowArray& array, std::int64_t first, std::int64_t begin,
                                    std::int64_t end) {
    if (next != first + begin) return;  // (stopped in an earlier chunk)
    const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
    with_key_reader(hasher.kind, array, [&](auto read) {
      ShortKeyCache& cache = groups.cache();
      std::uint32_t* const out = group_of_row + first;
      const std::int64_t offset = array.offset;
      for (std::int64_t row = begin; row < end; ++row) {
        const std::int64_t index = offset + row;
        const RowKey key = validity != nullptr && !bit_set(validity, index) ? kNullKey : row_key(read(index));
        const std::uint32_t h = hasher.hash(key);
        std::uint32_t group = cache.find(h, key);
        if (group == UINT32_MAX) [[unlikely]] {
          if (key.bytes.size > 16 && key.bytes.size != kNullSize) {
            // (the cache holds no longer keys: the block path looks them up)
            next = first + row;
            return;
          }
          group = key.bytes.size == kNullSize ? groups.null(first + row) : groups.find_or_add(h, key, first + row);
          cache.keep(h, key, group);
          if (groups.full || groups.first_rows.size() > ShortKeyCache::kGroups) {
            out[row] = group;
            next = first + row + 1;
            return;
          }
        }
        out[row] = group;
      }
      next = first + end;
    });
  });
  return next;
}

// Ranges: numbers the rows [lo, hi) with `groups`, writing local numbers.
inline void number_range(const ColumnChunks& column, const Hasher& hasher, std::int64_t lo, std::int64_t hi,
                         Groups& groups, std::uint32_t* group_of_row) {
  lo = number_few(column, hasher, lo, hi, groups, group_of_row);
  if (lo == hi || groups.full) return;
  // Past the few groups: room for a group a row, so that the list is not
  // copied as it grows (its pages are only taken as it fills).
  groups.first_rows.reserve(groups.first_rows.size() + static_cast<std::size_t>(hi - lo));
  std::uint32_t* out = group_of_row;
  std::int64_t first = 0;
  hasher.blocks(
      column, lo, hi,
      [&](std::int64_t chunk_first) {
        first = chunk_first;
        out = group_of_row + chunk_first;
      },
      [&](std::int64_t s, std::int64_t n, const std::uint32_t* h, const RowKey* keys) {
        std::uint32_t* const at = out + s;
        const std::int64_t row = first + s;
        number(groups, h, keys, n, [row](std::int64_t i) { return row + i; },
               [at](std::int64_t i, std::uint32_t group) { at[i] = group; });
        return !groups.full;
      });
}

// The group of each of n keys (at most kBlock) that `groups` already has,
// or UINT32_MAX: reads the table only, so threads may share it.
inline void find_existing(const Groups& groups, const std::uint32_t* h, const RowKey* keys, std::int64_t n,
                          std::uint32_t* out) {
  std::uint32_t candidates[kBlock];
  find_candidates(groups, h, keys, n, candidates);
  const BytesKeyTable::View table = groups.table().view();
  const ReleasedBytes* blocks = groups.store().blocks();
  for (std::int64_t i = 0; i < n; ++i) {
    const RowKey& key = keys[i];
    if (key.bytes.size == kNullSize) {
      out[i] = groups.null_group;
      continue;
    }
    std::uint32_t ref = candidates[i];
    if (ref != UINT32_MAX && !KeyStore::holds(KeyStore::entry_in(blocks, ref), key)) [[unlikely]] {
      // The first entry of this hash is another key's: the full lookup.
      ref = table.find(h[i], [&](std::uint32_t r) { return KeyStore::holds(KeyStore::entry_in(blocks, r), key); });
    }
    out[i] = ref == UINT32_MAX ? UINT32_MAX : KeyStore::group_at(KeyStore::entry_in(blocks, ref));
  }
}

// The later ranges' groups joined to the first range's, in order; their rows
// renumbered. A range's groups are first looked up in the first range's
// table by every thread (which only read it); then those it lacks are
// added, in order (the last range's are only numbered).
inline bool join_ranges(std::vector<Groups>& parts, const Hasher& hasher, MappedVector<std::uint32_t>& group_of_row,
                        std::int64_t rows) {
  Groups& lead = parts[0];
  const int count = static_cast<int>(parts.size());
  if (count == 1) return true;
  std::vector<std::vector<std::uint32_t>> renumber(parts.size());
  for (std::size_t t = 1; t < parts.size(); ++t) {
    Groups& local = parts[t];
    const std::size_t local_count = local.first_rows.size();
    std::vector<std::uint32_t>& numbers = renumber[t];
    numbers.resize(local_count);
    // Each group's number among the first range's groups (UINT32_MAX where
    // it has none), looked up by every thread (which only read that range's
    // table), each over a share of this range's table: a slot holds its
    // key's hash, and names the entry that holds the key and its group.
    const BytesKeyTable& table = local.table();
    const int finders = useful_threads(count, local_count, std::size_t{1} << 14);
    run_parallel(finders, [&](int k) {
      const auto [lo, hi] = part_range(table.slot_count(), finders, k);
      std::uint32_t h[kBlock];
      std::uint32_t refs[kBlock];
      RowKey keys[kBlock];
      std::uint32_t groups[kBlock];
      std::uint32_t found[kBlock];
      std::int64_t n = 0;
      // (a block's entries are fetched as their slots are read, and read
      // once they have arrived)
      const auto flush = [&] {
        for (std::int64_t i = 0; i < n; ++i) {
          const std::uint8_t* at = local.store().entry(refs[i]);
          keys[i] = row_key(KeyStore::key_at(at));
          groups[i] = KeyStore::group_at(at);
        }
        find_existing(lead, h, keys, n, found);
        for (std::int64_t i = 0; i < n; ++i) numbers[groups[i]] = found[i];
        n = 0;
      };
      table.each_entry(lo, hi, [&](std::uint32_t hash, std::uint32_t ref) {
        __builtin_prefetch(local.store().entry(ref));
        h[n] = hash;
        refs[n] = ref;
        if (++n == kBlock) flush();
      });
      flush();
    });
    if (local.null_group != UINT32_MAX) numbers[local.null_group] = lead.null_group;
    if (t + 1 == parts.size()) {
      // The last range's new groups only take the next numbers, in order:
      // no later range looks them up, so they stay out of the table.
      for (std::size_t g = 0; g < local_count; ++g) {
        if (numbers[g] != UINT32_MAX) continue;
        numbers[g] = static_cast<std::uint32_t>(lead.first_rows.size());
        push_released(lead.first_rows, local.first_rows[g]);
      }
      local = Groups();
      continue;
    }
    // The groups the first range lacks, a block at a time, in order, the
    // table grown for them first. (Each group's key in group order: the
    // null group's, which has no entry, a null.)
    std::vector<BytesKey> keys_of(local_count, kNullKey.bytes);
    local.store().each([&](std::uint32_t group, const BytesKey& key) { keys_of[group] = key; });
    const auto lookup_key = [&](std::size_t group) {
      return keys_of[group].size == kNullSize ? kNullKey : row_key(keys_of[group]);
    };
    lead.reserve(lead.first_rows.size() +
                 static_cast<std::size_t>(std::count(numbers.begin(), numbers.end(), UINT32_MAX)));
    std::uint32_t h[kBlock];
    RowKey keys[kBlock];
    std::uint32_t groups[kBlock];
    std::int64_t n = 0;
    const auto flush = [&] {
      number(lead, h, keys, n, [&](std::int64_t i) { return local.first_rows[groups[i]]; },
             [&](std::int64_t i, std::uint32_t group) { numbers[groups[i]] = group; });
      n = 0;
    };
    for (std::size_t g = 0; g < local_count; ++g) {
      if (numbers[g] != UINT32_MAX) continue;
      keys[n] = lookup_key(g);
      h[n] = hasher.hash(keys[n]);
      groups[n++] = static_cast<std::uint32_t>(g);
      if (n == kBlock) flush();
    }
    flush();
    if (lead.full) return false;
    local = Groups();
  }
  // The rows after the first range, renumbered on every thread.
  const std::size_t from = part_range(static_cast<std::size_t>(rows), count, 0).second;
  run_parallel(count, [&](int k) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows) - from, count, k);
    for (int t = 1; t < count; ++t) {
      const auto [begin, end] = part_range(static_cast<std::size_t>(rows), count, t);
      const std::uint32_t* numbers = renumber[static_cast<std::size_t>(t)].data();
      for (std::size_t row = std::max(begin, from + lo); row < std::min(end, from + hi); ++row) {
        group_of_row[row] = numbers[group_of_row[row]];
      }
    }
  });
  for (std::vector<std::uint32_t>& numbers : renumber) release_vector(numbers);
  return true;
}

// Partitions: every partition's thread reads every row's hash from
// group_of_row, so a row's hash may be overwritten only once all of them
// have read it. The rows go in windows of kWindow; a thread numbers its
// rows of a window into a buffer of its own, and writes them back (each
// row's local number, tagged with its partition in the low bits) once every
// thread has numbered that window. A thread holds two windows' buffers, so
// it numbers the next window while slower threads finish the last.
class PartitionWindows {
 public:
  static constexpr std::int64_t kWindow = std::int64_t{1} << 15;

  explicit PartitionWindows(int partitions) : done_(static_cast<std::size_t>(partitions)) {}

  // Partition p has numbered its rows of windows [0, windows).
  void numbered(int p, std::int64_t windows) {
    std::atomic<std::int64_t>& done = done_[static_cast<std::size_t>(p)];
    done.store(windows, std::memory_order_release);
    done.notify_all();
  }
  // Partition p stops early (its groups are not usable): no thread waits
  // for it.
  void stopped(int p) { numbered(p, INT64_MAX); }
  // Waits until every partition has numbered windows [0, windows).
  void wait_all(std::int64_t windows) {
    for (std::atomic<std::int64_t>& done : done_) {
      for (std::int64_t seen = done.load(std::memory_order_acquire); seen < windows;
           seen = done.load(std::memory_order_acquire)) {
        done.wait(seen, std::memory_order_acquire);
      }
    }
  }

 private:
  std::vector<std::atomic<std::int64_t>> done_;
};

// Numbers, in row order, the rows whose hash (in group_of_row) is
// `partition` modulo 2^bits, and overwrites each one's hash with
// local << bits | partition (see PartitionWindows).
inline void number_partition(const ColumnChunks& column, const Hasher& hasher, std::uint32_t partition, int bits,
                             std::int64_t rows, Groups& groups, std::uint32_t* group_of_row,
                             PartitionWindows& windows) {
  const std::uint32_t mask = (1u << bits) - 1;
  // Local numbers stay below 2^(32 - bits), so that the tag fits.
  const std::size_t most_groups = std::size_t{1} << (32 - bits);
  // A window's rows of this partition (from the window's start), and
  // their local numbers.
  struct Numbered {
    std::vector<std::uint32_t> rows, groups;
  };
  Numbered buffers[2];
  for (Numbered& numbered : buffers) {
    numbered.rows.reserve(PartitionWindows::kWindow);
    numbered.groups.reserve(PartitionWindows::kWindow);
  }
  const auto write_back = [&](std::int64_t window) {
    const Numbered& numbered = buffers[window % 2];
    std::uint32_t* const at = group_of_row + window * PartitionWindows::kWindow;
    for (std::size_t i = 0; i < numbered.rows.size(); ++i) at[numbered.rows[i]] = numbered.groups[i] << bits | partition;
  };
  const std::int64_t count = (rows + PartitionWindows::kWindow - 1) / PartitionWindows::kWindow;
  std::uint32_t h[kBlock];
  RowKey keys[kBlock];
  std::int64_t rows_of[kBlock];
  for (std::int64_t window = 0; window < count; ++window) {
    Numbered& numbered = buffers[window % 2];
    numbered.rows.clear();
    numbered.groups.clear();
    const std::int64_t lo = window * PartitionWindows::kWindow;
    each_chunk_in(column, lo, std::min(rows, lo + PartitionWindows::kWindow),
                  [&](const ArrowArray& array, std::int64_t first, std::int64_t begin, std::int64_t end) {
      const std::uint32_t* hashes = group_of_row + first;
      const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
      with_key_reader(hasher.kind, array, [&](auto read) {
        for (std::int64_t s = begin; s < end && !groups.full; s += kBlock) {
          const std::int64_t block_end = std::min(end, s + kBlock);
          std::int64_t n = 0;
          // Every row is kept only if it is the partition's, without a
          // branch: half the rows are not, in no order a branch could
          // predict. Then the kept rows' keys are read.
          for (std::int64_t row = s; row < block_end; ++row) {
            const std::uint32_t v = hashes[row];
            h[n] = v;
            rows_of[n] = first + row;
            n += (v & mask) == partition ? 1 : 0;
          }
          for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t index = array.offset + (rows_of[i] - first);
            keys[i] = validity != nullptr && !bit_set(validity, index) ? kNullKey : row_key(read(index));
          }
          number(groups, h, keys, n, [&](std::int64_t i) { return rows_of[i]; },
                 [&](std::int64_t i, std::uint32_t group) {
                   numbered.rows.push_back(static_cast<std::uint32_t>(rows_of[i] - lo));
                   numbered.groups.push_back(group);
                 });
          if (groups.first_rows.size() >= most_groups) groups.full = true;
        }
      });
    });
    if (groups.full) {
      windows.stopped(static_cast<int>(partition));
      return;
    }
    windows.numbered(static_cast<int>(partition), window + 1);
    if (window > 0) {
      windows.wait_all(window);
      write_back(window - 1);
    }
  }
  if (count > 0) {
    windows.wait_all(count);
    write_back(count - 1);
  }
}

// Whether a sample of the rows shows groups enough to split by partition:
// more than half of 4096 rows (runs of 16 at 256 places spread over the
// column) have a key (a hash) of their own. Below that, ranges are faster (a
// partition's thread reads every row), and the groups they hold twice are
// few; so too when equal keys lie together (as in a sorted column), where
// ranges hardly share groups.
inline bool many_groups(const ColumnChunks& column, const Hasher& hasher, std::int64_t rows) {
  constexpr std::int64_t kPlaces = 256, kRun = 16, kSample = kPlaces * kRun;
  if (rows < kSample * 4) return false;
  std::vector<std::uint32_t> seen(2 * kSample, 0);  // a hash | 1; 0: empty
  std::int64_t distinct = 0;
  for (std::int64_t place = 0; place < kPlaces; ++place) {
    const std::int64_t start = place * (rows / kPlaces);
    const std::size_t b = static_cast<std::size_t>(
        std::upper_bound(column.starts.begin(), column.starts.end(), start) - column.starts.begin() - 1);
    const ArrowArray& array = column.chunks[b];
    const std::int64_t begin = start - column.starts[b];
    const std::int64_t end = std::min(array.length, begin + kRun);
    const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
    with_key_reader(hasher.kind, array, [&](auto read) {
      for (std::int64_t row = begin; row < end; ++row) {
        const std::int64_t index = array.offset + row;
        if (validity != nullptr && !bit_set(validity, index)) continue;
        // (a hash's lowest bit set, so that no hash is 0: two hashes alike
        // but in that bit count once, which a sample can bear)
        const std::uint32_t h = bytes_key_hash(row_key(read(index)), hasher.seed) | 1;
        std::size_t at = (h * 0x9E3779B1u) >> 19;
        while (seen[at] != 0 && seen[at] != h) at = (at + 1) & (seen.size() - 1);
        if (seen[at] == 0) {
          seen[at] = h;
          ++distinct;
        }
      }
    });
  }
  return distinct * 2 > kSample;
}

inline std::optional<Grouping> group_by_partitions(const ColumnChunks& column, const Hasher& hasher,
                                                   std::int64_t rows, int parts) {
  const int bits = std::bit_width(static_cast<unsigned>(parts)) - 1;
  const auto partitions = static_cast<std::size_t>(1) << bits;
  const std::uint32_t mask = static_cast<std::uint32_t>(partitions) - 1;
  Grouping out;
  out.group_of_row.resize(static_cast<std::size_t>(rows));
  std::uint32_t* group_of_row = out.group_of_row.data();
  // Every row's hash (0 for a null: partition 0 numbers the nulls).
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    std::uint32_t* at = group_of_row;
    hasher.blocks(
        column, static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi),
        [&](std::int64_t first) { at = group_of_row + first; },
        [&](std::int64_t s, std::int64_t n, const std::uint32_t* h, const RowKey*) {
          std::copy(h, h + n, at + s);
          return true;
        });
  });
  // Each row's hash overwritten with its local number in its partition,
  // tagged with the partition.
  std::vector<std::vector<std::int64_t>> first_rows(partitions);
  {
    std::vector<Groups> groups(partitions);
    PartitionWindows windows(static_cast<int>(partitions));
    run_parallel(static_cast<int>(partitions), [&](int p) {
      try {
        number_partition(column, hasher, static_cast<std::uint32_t>(p), bits, rows,
                         groups[static_cast<std::size_t>(p)], group_of_row, windows);
      } catch (...) {
        windows.stopped(p);  // (else the others would wait for it forever)
        throw;
      }
    });
    for (std::size_t p = 0; p < partitions; ++p) {
      if (groups[p].full) return std::nullopt;
      first_rows[p] = std::move(groups[p].first_rows);
    }
  }  // (the tables and keys go here)
  // The partitions' groups in order of first row, each partition's already
  // in that order.
  std::vector<std::size_t> base(partitions + 1, 0);
  for (std::size_t p = 0; p < partitions; ++p) base[p + 1] = base[p] + first_rows[p].size();
  std::vector<std::uint32_t> global(base.back());
  out.first_rows.reserve(base.back());
  std::vector<std::size_t> next(partitions, 0);
  for (std::size_t g = 0; g < base.back(); ++g) {
    std::size_t from = partitions;
    for (std::size_t p = 0; p < partitions; ++p) {
      if (next[p] < first_rows[p].size() &&
          (from == partitions || first_rows[p][next[p]] < first_rows[from][next[from]])) {
        from = p;
      }
    }
    global[base[from] + next[from]] = static_cast<std::uint32_t>(g);
    out.first_rows.push_back(first_rows[from][next[from]++]);
  }
  for (std::vector<std::int64_t>& rows_of_part : first_rows) release_vector(rows_of_part);
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    for (std::size_t row = lo; row < hi; ++row) {
      const std::uint32_t tagged = group_of_row[row];
      group_of_row[row] = global[base[tagged & mask] + (tagged >> bits)];
    }
  });
  release_vector(global);
  return out;
}

}  // namespace bytes_groups

// Numbers the rows of one plain bytes column on `parts` threads; nothing
// when the groups' keys outgrow the store (4 GiB).
inline std::optional<Grouping> group_bytes_column(const ColumnChunks& column, const ValueFormat& format,
                                                  std::int64_t rows, int parts, KeyHashing hashing,
                                                  BytesSplit split = BytesSplit::Auto) {
  using namespace bytes_groups;
  const Hasher hasher{format.kind, process_seed(), static_cast<std::uint32_t>(kept_hash_bits(hashing))};
  if (parts > 1 &&
      (split == BytesSplit::Partitions || (split == BytesSplit::Auto && many_groups(column, hasher, rows)))) {
    return group_by_partitions(column, hasher, rows, parts);
  }
  Grouping out;
  out.group_of_row.resize(static_cast<std::size_t>(rows));
  std::vector<Groups> groups(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    number_range(column, hasher, static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi),
                 groups[static_cast<std::size_t>(t)], out.group_of_row.data());
  });
  for (const Groups& part : groups) {
    if (part.full) return std::nullopt;
  }
  if (!join_ranges(groups, hasher, out.group_of_row, rows)) return std::nullopt;
  out.first_rows = std::move(groups[0].first_rows);
  return out;
}

}  // namespace vantorelle::engine::grouping
