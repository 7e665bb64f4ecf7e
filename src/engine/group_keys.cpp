#include "engine/group_keys.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string_view>
#include <type_traits>

#include "engine/array_checks.h"
#include "engine/arrow_type_names.h"
#include "engine/bytes_groups.h"
#include "engine/group_table.h"
#include "engine/input_errors.h"
#include "engine/key_column.h"
#include "engine/key_hashing.h"
#include "engine/key_length.h"
#include "error/internal_failure.h"
#include "utils/mapped_allocator.h"
#include "utils/parallel.h"

namespace vantorelle::engine {
namespace {

using namespace grouping;

// ---------------------------------------------------------------- formats

// The counted value formats, and the temporal types as their integers.
bool key_value_format(std::string_view format, ValueFormat* out) {
  if (value_format(format, out)) return true;
  const auto starts = [&](std::string_view prefix) { return format.substr(0, prefix.size()) == prefix; };
  if (format == "tdD" || format == "tts" || format == "ttm") {
    *out = {Kind::Int, 4, true};
    return true;
  }
  if (format == "tdm" || format == "ttu" || format == "ttn" || starts("tD") || starts("ts")) {
    *out = {Kind::Int, 8, true};
    return true;
  }
  return false;
}

bool key_format(const ArrowSchema& schema, KeyFormat* out) {
  if (schema.dictionary == nullptr) return key_value_format(schema.format ? schema.format : "", &out->values);
  ValueFormat indices;
  if (!value_format(schema.format ? schema.format : "", &indices) || indices.kind != Kind::Int) return false;
  out->indices = indices;
  const ArrowSchema& values = *schema.dictionary;
  return values.dictionary == nullptr && key_value_format(values.format ? values.format : "", &out->values);
}


// The groups one range of rows meets, numbered in order of first
// appearance within the range: each one's first row, hash and key bytes.
struct alignas(kThreadOwnAlignment) LocalGroups {
  std::vector<std::int64_t> first_rows;
  std::vector<std::uint64_t> hashes;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> offsets{0};

  // Frees the groups' rows, hashes and key bytes, their pages to the system.
  void release() {
    release_vector(first_rows);
    release_vector(hashes);
    release_vector(bytes);
    release_vector(offsets);
  }

  std::uint32_t add(std::int64_t row, std::uint64_t hash, const std::vector<std::uint8_t>& key) {
    push_released(first_rows, row);
    push_released(hashes, hash);
    bytes.insert(bytes.end(), key.begin(), key.end());
    push_released(offsets, bytes.size());
    return static_cast<std::uint32_t>(first_rows.size() - 1);
  }
  bool holds(std::uint32_t group, const std::uint8_t* key, std::size_t size) const {
    const std::uint64_t begin = offsets[group];
    return offsets[group + 1] - begin == size && std::memcmp(bytes.data() + begin, key, size) == 0;
  }
};

// The first malformed dictionary index met: its row and key column.
struct Malformed {
  std::int64_t row = -1;
  std::size_t column = 0;
};

constexpr std::int64_t kBlock = 256;

// Numbers the rows [lo, hi) of the table with a table of groups of its own.
void group_range(const std::vector<std::vector<KeyColumn>>& columns, std::span<const ColumnChunks> keys,
                 std::int64_t lo, std::int64_t hi, KeyHashing hashing, LocalGroups& local,
                 std::uint32_t* group_of_row, Malformed& malformed) {
  GroupTable table;
  std::uint64_t h[kBlock];
  KeyColumn::RowBytes row_bytes[kBlock];
  std::vector<std::uint8_t> key;
  const ColumnChunks& lead = keys[0];
  for (std::size_t b = 0; b < lead.chunks.size(); ++b) {
    const std::int64_t first = lead.starts[b];
    const std::int64_t begin = std::max<std::int64_t>(lo - first, 0);
    const std::int64_t end = std::min<std::int64_t>(hi - first, lead.chunks[b].length);
    const std::vector<KeyColumn>& chunk = columns[b];
    const bool single_bytes = chunk.size() == 1 && chunk[0].plain_bytes();
    for (std::int64_t s = begin; s < end; s += kBlock) {
      const std::int64_t n = std::min(kBlock, end - s);
      for (std::size_t c = 0; c < chunk.size(); ++c) {
        const std::int64_t bad = chunk[c].hash_block(s, s + n, h, c == 0);
        if (bad >= 0 && (malformed.row < 0 || first + bad < malformed.row)) malformed = {first + bad, c};
      }
      if (malformed.row >= 0) return;
      if (hashing != KeyHashing::Seeded) {
        for (std::int64_t i = 0; i < n; ++i) h[i] &= kept_hash_bits(hashing);
      }
      // A lookup in a table larger than the caches waits on two loads: the
      // slot and the group's key bytes. Each is started ahead of its use
      // (the bytes from a guess at the slot). A slot keeps the offset of its
      // group's key bytes when it fits in 32 bits.
      const bool large = table.large();
      if (large) {
        for (std::int64_t i = 0; i < std::min<std::int64_t>(n, 12); ++i) table.prefetch(h[i]);
      }
      // same(i, row, at): whether row s + i is the group whose key bytes
      // start at `at`.
      const auto number_block = [&](auto&& same) {
        for (std::int64_t i = 0; i < n; ++i) {
          if (large) {
            if (i + 12 < n) table.prefetch(h[i + 12]);
            if (i + 5 < n) {
              const std::uint32_t guess = table.peek(h[i + 5]);
              if (guess != UINT32_MAX) __builtin_prefetch(local.bytes.data() + guess);
            }
          }
          const std::int64_t row = s + i;
          group_of_row[first + row] = table.find_or_add(
              h[i],
              [&](std::uint32_t group, std::uint32_t offset) {
                return same(i, row, local.bytes.data() + (offset != UINT32_MAX ? offset : local.offsets[group]));
              },
              [&] {
                key.clear();
                for (const KeyColumn& column : chunk) column.encode(row, key);
                return local.add(first + row, h[i], key);
              },
              local.bytes.size() < UINT32_MAX ? static_cast<std::uint32_t>(local.bytes.size()) : UINT32_MAX);
        }
      };
      if (single_bytes) {
        // One column of bytes: each row's bytes read once, in a typed loop.
        chunk[0].bytes_block(s, s + n, row_bytes);
        number_block([&](std::int64_t i, std::int64_t, const std::uint8_t* at) {
          return KeyColumn::matches_bytes(row_bytes[i], at);
        });
      } else {
        number_block([&](std::int64_t, std::int64_t row, const std::uint8_t* at) {
          for (const KeyColumn& column : chunk) {
            if (!column.matches(row, &at)) return false;
          }
          return true;
        });
      }
    }
  }
}

// ---------------------------------------------------------------- one integer column

// A single plain integer key: the key (xored with the seed) is its own table
// key, so a lookup needs no comparison. The groups of one range: each one's
// first row and key; null_group is the group of the nulls.
struct alignas(kThreadOwnAlignment) IntegerGroups {
  std::vector<std::int64_t> first_rows;
  std::vector<std::uint64_t> keys;  // only in the ranges after the first
  std::uint32_t null_group = UINT32_MAX;
  bool keep_keys = false;
  // Kept after the range is numbered: the later ranges' groups join the
  // first range's in its table.
  GroupTable table;
};

// Numbers the rows [begin, end) of one chunk.
template <class T>
void group_integer_rows(const ArrowArray& array, std::int64_t first_row, std::int64_t begin, std::int64_t end,
                        std::uint64_t seed, GroupTable& table, IntegerGroups& local, std::uint32_t* group_of_row) {
  const auto* values = static_cast<const std::uint8_t*>(array.buffers[1]);
  const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
  // Slots are looked up this many rows ahead of their use, so that a table
  // larger than the caches is read at memory speed rather than latency.
  constexpr std::int64_t kAhead = 16;
  const auto key_at = [&](std::int64_t index) -> std::uint64_t {
    if constexpr (std::is_same_v<T, bool>) {
      return bit_set(values, index) ? 1 : 0;
    } else {
      T value;
      std::memcpy(&value, values + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
      return static_cast<std::uint64_t>(static_cast<std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>(value));
    }
  };
  for (std::int64_t row = begin; row < end; ++row) {
    const std::int64_t index = array.offset + row;
    if (row + kAhead < end && table.large()) table.prefetch(key_at(index + kAhead) ^ seed);
    if (validity != nullptr && !bit_set(validity, index)) {
      if (local.null_group == UINT32_MAX) {
        local.null_group = static_cast<std::uint32_t>(local.first_rows.size());
        push_released(local.first_rows, first_row + row);
        if (local.keep_keys) push_released(local.keys, 0);
      }
      group_of_row[row] = local.null_group;
      continue;
    }
    // The table hashes its keys again; the seed keeps crafted keys from
    // predicting slots.
    const std::uint64_t key = key_at(index) ^ seed;
    group_of_row[row] = table.find_or_add(key, [](std::uint32_t, std::uint32_t) { return true; }, [&] {
      push_released(local.first_rows, first_row + row);
      if (local.keep_keys) push_released(local.keys, key);
      return static_cast<std::uint32_t>(local.first_rows.size() - 1);
    });
  }
}

void group_integer_range(const ColumnChunks& column, const ValueFormat& format, std::int64_t lo, std::int64_t hi,
                         std::uint64_t seed, IntegerGroups& local, std::uint32_t* group_of_row) {
  GroupTable& table = local.table;
  each_chunk_in(column, lo, hi, [&](const ArrowArray& array, std::int64_t first, std::int64_t begin, std::int64_t end) {
    std::uint32_t* out = group_of_row + first;
    if (format.kind == Kind::Bool) {
      group_integer_rows<bool>(array, first, begin, end, seed, table, local, out);
      return;
    }
    with_integer_type(format, [&](auto type) {
      group_integer_rows<decltype(type)>(array, first, begin, end, seed, table, local, out);
    });
  });
}

int parts_for(std::int64_t rows, int threads) { return useful_threads(threads, static_cast<std::size_t>(rows)); }

// Renumbers the rows of ranges 1 .. parts - 1 through `renumber`.
void renumber_rows(MappedVector<std::uint32_t>& group_of_row, std::int64_t rows, int parts,
                   const std::vector<std::vector<std::uint32_t>>& renumber) {
  run_parallel(parts - 1, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t + 1);
    const std::vector<std::uint32_t>& numbers = renumber[static_cast<std::size_t>(t) + 1];
    for (std::size_t row = lo; row < hi; ++row) group_of_row[row] = numbers[group_of_row[row]];
  });
}

// The smallest and largest key among the present rows of [lo, hi), each
// key's 64 bits read as a signed number; {INT64_MAX, INT64_MIN} when there
// are none.
struct KeySpan {
  std::int64_t min = INT64_MAX;
  std::int64_t max = INT64_MIN;

  void widen(const KeySpan& other) {
    min = std::min(min, other.min);
    max = std::max(max, other.max);
  }
};

KeySpan key_span(const ColumnChunks& column, const ValueFormat& format, std::int64_t lo, std::int64_t hi) {
  KeySpan span;
  each_chunk_in(column, lo, hi, [&](const ArrowArray& array, std::int64_t, std::int64_t begin, std::int64_t end) {
    if (format.kind == Kind::Bool) {
      // Booleans are 0 and 1: no need to look.
      span.widen({0, 1});
      return;
    }
    const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
    with_integer_type(format, [&](auto type) {
      using T = decltype(type);
      const auto* values = static_cast<const std::uint8_t*>(array.buffers[1]);
      std::int64_t low = span.min, high = span.max;
      const auto widen = [&](std::int64_t index) {
        T value;
        std::memcpy(&value, values + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
        const auto key = static_cast<std::int64_t>(value);
        low = std::min(low, key);
        high = std::max(high, key);
      };
      // Without nulls the loop has no branch and vectorises.
      if (validity == nullptr) {
        for (std::int64_t index = array.offset + begin; index < array.offset + end; ++index) widen(index);
      } else {
        for (std::int64_t index = array.offset + begin; index < array.offset + end; ++index) {
          if (bit_set(validity, index)) widen(index);
        }
      }
      span = {low, high};
    });
  });
  return span;
}

// The number of keys from span.min to span.max (0: none, or all 2^64).
std::uint64_t keys_in(KeySpan span) {
  if (span.min > span.max) return 0;
  return static_cast<std::uint64_t>(span.max) - static_cast<std::uint64_t>(span.min) + 1;
}

// The most keys (or packed numbers) a map indexed by key may span: its 4
// bytes a key must not outweigh the table it replaces (about 16 bytes a row
// at worst), and stay within the caches' reach for small inputs.
std::uint64_t most_mapped_keys(std::int64_t rows) {
  return std::min<std::uint64_t>(std::max<std::uint64_t>(static_cast<std::uint64_t>(rows), 1u << 16), 1u << 26);
}

// key_span of the whole column, its ranges read on `parts` threads.
KeySpan column_span(const ColumnChunks& column, const ValueFormat& format, std::int64_t rows, int parts) {
  std::vector<KeySpan> spans(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    spans[static_cast<std::size_t>(t)] =
        key_span(column, format, static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi));
  });
  KeySpan span;
  for (const KeySpan& part : spans) span.widen(part);
  return span;
}

// The column's span, or nothing when it spans more than `most` keys. Its
// first rows are looked at first: when even they span too many (ids spread
// over 64 bits, say), the column is not read whole.
std::optional<KeySpan> narrow_span(const ColumnChunks& column, const ValueFormat& format, std::int64_t rows,
                                   int parts, std::uint64_t most) {
  // (keys_in is 0 for every one of the 2^64 keys: too many as well)
  const auto too_many = [most](KeySpan span) { return span.min <= span.max && keys_in(span) - 1 >= most; };
  constexpr std::int64_t kSample = 4096;
  if (too_many(key_span(column, format, 0, std::min(rows, kSample)))) return std::nullopt;
  const KeySpan span = column_span(column, format, rows, parts);
  if (too_many(span)) return std::nullopt;
  return span;
}

// Calls f(key_at), key_at(index) reading a present row's key of `array` as
// a signed 64-bit number, in a form typed for the column's layout.
template <class F>
void with_key_reader(const ValueFormat& format, const ArrowArray& array, F&& f) {
  if (format.kind == Kind::Bool) {
    const void* bits = array.buffers[1];
    f([bits](std::int64_t index) -> std::int64_t { return bit_set(bits, index) ? 1 : 0; });
    return;
  }
  with_integer_type(format, [&](auto type) {
    using T = decltype(type);
    const auto* values = static_cast<const std::uint8_t*>(array.buffers[1]);
    f([values](std::int64_t index) -> std::int64_t {
      T value;
      std::memcpy(&value, values + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
      return static_cast<std::int64_t>(value);
    });
  });
}

// A new group's number, its first row listed.
[[gnu::noinline]] std::uint32_t new_group(std::vector<std::int64_t>& first_rows, std::int64_t row) {
  push_released(first_rows, row);
  return static_cast<std::uint32_t>(first_rows.size() - 1);
}

// Calls f(row, index) for each present or null row of [lo, hi): index is
// the row's key - min, or null_index for a null.
template <class F>
void each_key_index(const ColumnChunks& column, const ValueFormat& format, std::int64_t lo, std::int64_t hi,
                    std::uint64_t min, std::uint32_t null_index, F&& f) {
  each_chunk_in(column, lo, hi, [&](const ArrowArray& array, std::int64_t first, std::int64_t begin, std::int64_t end) {
    const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
    with_key_reader(format, array, [&](auto key_at) {
      const std::int64_t offset = array.offset;
      if (validity == nullptr) {
        for (std::int64_t row = begin; row < end; ++row) {
          f(first + row, static_cast<std::uint32_t>(static_cast<std::uint64_t>(key_at(offset + row)) - min));
        }
        return;
      }
      for (std::int64_t row = begin; row < end; ++row) {
        const std::int64_t index = offset + row;
        f(first + row, bit_set(validity, index)
                           ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(key_at(index)) - min)
                           : null_index);
      }
    });
  });
}

// The keys one range of rows meets: a bitmap of them, and a list in order
// of first appearance of each one's index (key - min, or the nulls') and
// first row (from the range's start) in one word.
struct alignas(kThreadOwnAlignment) MetKeys {
  static constexpr int kRowBits = 37;  // (indices stay below 2^27)
  std::int64_t lo = 0;
  // (reserved to the most keys a range can meet: it never grows)
  MappedVector<std::uint64_t> met{MappedAllocator<std::uint64_t>::written_as_needed()};

  [[gnu::noinline]] void add(std::uint32_t index, std::int64_t row) {
    met.push_back(std::uint64_t{index} << kRowBits | static_cast<std::uint64_t>(row - lo));
  }
  std::uint32_t index(std::size_t i) const { return static_cast<std::uint32_t>(met[i] >> kRowBits); }
  std::int64_t first_row(std::size_t i) const {
    return lo + static_cast<std::int64_t>(met[i] & ((std::uint64_t{1} << kRowBits) - 1));
  }
};

// Rows numbered through a map indexed by a number of their key (the key -
// its smallest, or its columns' digits packed), below `indices`:
// each_index(lo, hi, f) calls f(row, index) for the rows [lo, hi). No
// hashing, no probing. The first range of rows (on this thread) is numbered
// through the map as it is read. Each later range, on a thread of its own
// at the same time, only lists the keys it meets (in a bitmap of its own)
// in order of first appearance. Then the lists, range after range, number
// the keys the map lacks, and every thread renumbers a share of the later
// ranges' rows through the map. Writes out.group_of_row (sized by the
// caller: each_index may read it, as a row's index is read before its
// number is written) and out.first_rows.
template <class EachIndex>
void number_dense(std::int64_t rows, int parts, std::size_t indices, EachIndex&& each_index, Grouping& out) {
  std::uint32_t* const group_of_row = out.group_of_row.data();
  MappedVector<std::uint32_t> group_of_index(MappedAllocator<std::uint32_t>::written_as_needed());
  std::vector<MetKeys> later(static_cast<std::size_t>(parts - 1));
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    // (a group a row at most: room for them all, so that the list is not
    // copied as it grows; its pages are only taken as it fills)
    const std::size_t most = std::min(indices, hi - lo);
    if (t == 0) {
      group_of_index.assign(indices, UINT32_MAX);
      out.first_rows.reserve(most);
      std::uint32_t* const map = group_of_index.data();
      std::vector<std::int64_t>& first_rows = out.first_rows;
      each_index(static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi),
                 [map, &first_rows, group_of_row](std::int64_t row, std::uint32_t index) __attribute__((always_inline)) {
        std::uint32_t& group = map[index];
        if (group == UINT32_MAX) [[unlikely]] group = new_group(first_rows, row);
        group_of_row[row] = group;
      });
      return;
    }
    MetKeys& keys = later[static_cast<std::size_t>(t) - 1];
    keys.lo = static_cast<std::int64_t>(lo);
    keys.met.reserve(most);
    // (marked through a local: through a member the loop measured a sixth
    // slower)
    std::vector<std::uint64_t> seen((indices + 63) / 64, 0);
    std::uint64_t* const words = seen.data();
    each_index(static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi),
               [words, &keys](std::int64_t row, std::uint32_t index) __attribute__((always_inline)) {
      std::uint64_t& word = words[index >> 6];
      const std::uint64_t bit = std::uint64_t{1} << (index & 63);
      if ((word & bit) == 0) [[unlikely]] {
        word |= bit;
        keys.add(index, row);
      }
    });
  });
  for (MetKeys& keys : later) {
    for (std::size_t i = 0; i < keys.met.size(); ++i) {
      std::uint32_t& group = group_of_index[keys.index(i)];
      if (group == UINT32_MAX) group = new_group(out.first_rows, keys.first_row(i));
    }
    release_vector(keys.met);
  }
  const std::size_t from = part_range(static_cast<std::size_t>(rows), parts, 0).second;
  const std::uint32_t* const group_of = group_of_index.data();
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows) - from, parts, t);
    each_index(static_cast<std::int64_t>(from + lo), static_cast<std::int64_t>(from + hi),
               [group_of_row, group_of](std::int64_t row, std::uint32_t index) __attribute__((always_inline)) {
                 group_of_row[row] = group_of[index];
               });
  });
  release_vector(group_of_index);
}

// The threads for number_dense: keys spanning more than a quarter as many
// numbers as rows are numbered on one thread, as the later ranges' lists
// would add about 4 bytes a row to the memory at its peak.
int dense_parts(std::uint64_t indices, std::int64_t rows, int parts) {
  return indices > static_cast<std::uint64_t>(rows) / 4 ? 1 : parts;
}

// Each of a range's groups' number in `table` (UINT32_MAX where the table
// lacks its key, and for the null group), looked up on up to `parts`
// threads, which only read the table.
void find_known_keys(const GroupTable& table, const IntegerGroups& local, int parts,
                     std::vector<std::uint32_t>& numbers) {
  numbers.assign(local.first_rows.size(), UINT32_MAX);
  const int finders = useful_threads(parts, numbers.size(), std::size_t{1} << 14);
  run_parallel(finders, [&](int k) {
    const auto [lo, hi] = part_range(numbers.size(), finders, k);
    for (std::size_t l = lo; l < hi; ++l) {
      if (l + 16 < hi && table.large()) table.prefetch(local.keys[l + 16]);
      if (l != local.null_group) {
        numbers[l] = table.find(local.keys[l], [](std::uint32_t, std::uint32_t) { return true; });
      }
    }
  });
}

Grouping group_single_integer(const ColumnChunks& column, const ValueFormat& format, std::int64_t rows,
                              int threads) {
  const int parts = parts_for(rows, threads);
  // Keys within few enough numbers are numbered through a direct map.
  const std::optional<KeySpan> narrow = narrow_span(column, format, rows, parts, most_mapped_keys(rows));
  if (narrow && narrow->min <= narrow->max && rows < std::int64_t{1} << MetKeys::kRowBits) {
    const auto min = static_cast<std::uint64_t>(narrow->min);
    const auto null_index = static_cast<std::uint32_t>(static_cast<std::uint64_t>(narrow->max) - min + 1);
    const std::size_t indices = std::size_t{null_index} + 1;
    Grouping out;
    out.group_of_row.resize(static_cast<std::size_t>(rows));
    number_dense(rows, dense_parts(indices, rows, parts), indices,
                 [&](std::int64_t lo, std::int64_t hi, auto&& f) {
                   each_key_index(column, format, lo, hi, min, null_index, f);
                 },
                 out);
    return out;
  }
  Grouping out;
  out.group_of_row.resize(static_cast<std::size_t>(rows));
  const std::uint64_t seed = process_seed();
  std::vector<IntegerGroups> locals(static_cast<std::size_t>(parts));
  for (std::size_t t = 1; t < locals.size(); ++t) locals[t].keep_keys = true;
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    group_integer_range(column, format, static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi), seed,
                        locals[static_cast<std::size_t>(t)], out.group_of_row.data());
  });
  out.first_rows = std::move(locals[0].first_rows);
  std::uint32_t null_group = locals[0].null_group;
  if (parts > 1) {
    // The later ranges' groups, renumbered after the first range's through
    // its table (its entries are the first range's numbers, new keys added
    // to them).
    GroupTable& table = locals[0].table;
    std::vector<std::vector<std::uint32_t>> renumber(static_cast<std::size_t>(parts));
    for (std::size_t t = 1; t < locals.size(); ++t) {
      const IntegerGroups& local = locals[t];
      std::vector<std::uint32_t>& numbers = renumber[t];
      if (t + 1 == locals.size()) {
        // The last range's groups are only looked up, on every thread: no
        // later range looks its new keys up, so they stay out of the table
        // (which would otherwise grow for them).
        find_known_keys(table, local, parts, numbers);
        for (std::size_t l = 0; l < numbers.size(); ++l) {
          if (l == local.null_group) {
            if (null_group == UINT32_MAX) null_group = new_group(out.first_rows, local.first_rows[l]);
            numbers[l] = null_group;
          } else if (numbers[l] == UINT32_MAX) {
            numbers[l] = new_group(out.first_rows, local.first_rows[l]);
          }
        }
        continue;
      }
      for (std::size_t l = 0; l < local.first_rows.size(); ++l) {
        // (a table past the caches: its slots fetched ahead, as when the
        // rows were numbered)
        if (l + 16 < local.keys.size() && table.large()) table.prefetch(local.keys[l + 16]);
        auto make = [&] { return new_group(out.first_rows, local.first_rows[l]); };
        if (l == local.null_group) {
          if (null_group == UINT32_MAX) null_group = make();
          numbers.push_back(null_group);
        } else {
          numbers.push_back(table.find_or_add(local.keys[l], [](std::uint32_t, std::uint32_t) { return true; }, make));
        }
      }
    }
    // (the tables and keys go before the rows are renumbered)
    for (IntegerGroups& local : locals) {
      const GroupTable gone = std::move(local.table);
      release_vector(local.keys);
    }
    renumber_rows(out.group_of_row, rows, parts, renumber);
  }
  return out;
}

// ---------------------------------------------------------------- several integer columns

// Several integer (or boolean, date, time) key columns whose values span
// few numbers together: each row's key tuple packed into one number,
//   packed = (...(digit_0 * radix_1 + digit_1) * radix_2 + ...) + digit_k,
// where a column's digit is its value - min, or span for a null, so equal
// tuples and only they pack alike. The rows are then numbered through a
// map indexed by the packed number, written over the packed numbers
// themselves: no hashing, no key bytes, no per-row comparison. Nothing when
// the packed numbers would span more than the rows (or 2^16; at most 2^26).
std::optional<Grouping> group_packed_integers(std::span<const ColumnChunks> keys,
                                              std::span<const KeyFormat> formats, std::int64_t rows,
                                              int threads) {
  for (const KeyFormat& format : formats) {
    if (format.indices || family_of(format.values.kind) != Family::Integer) return std::nullopt;
  }
  if (rows >= std::int64_t{1} << MetKeys::kRowBits) return std::nullopt;
  const int parts = parts_for(rows, threads);
  const std::uint64_t most = most_mapped_keys(rows);
  std::vector<KeySpan> spans(keys.size());
  std::vector<std::uint64_t> radix(keys.size());
  std::uint64_t packed_count = 1;
  for (std::size_t c = 0; c < keys.size(); ++c) {
    const std::optional<KeySpan> narrow = narrow_span(keys[c], formats[c].values, rows, parts, most);
    if (!narrow) return std::nullopt;
    spans[c] = *narrow;
    const bool nulls = std::any_of(keys[c].chunks.begin(), keys[c].chunks.end(),
                                   [](const ArrowArray& array) { return array.null_count != 0; });
    if (spans[c].min > spans[c].max) spans[c] = {0, -1};  // nulls only
    const std::uint64_t values = keys_in(spans[c]);
    radix[c] = values + (nulls ? 1 : 0);
    if (radix[c] > most / packed_count) return std::nullopt;
    packed_count *= radix[c];
  }
  Grouping out;
  MappedVector<std::uint32_t>& packed = out.group_of_row;
  packed.assign(static_cast<std::size_t>(rows), 0);
  // A slice of rows at a time, every column over it while its packed
  // numbers are in the faster caches.
  constexpr std::size_t kSlice = 4096;
  run_parallel(parts, [&](int t) {
    const auto [range_lo, range_hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    for (std::size_t lo = range_lo; lo < range_hi; lo += kSlice) {
      const std::size_t hi = std::min(range_hi, lo + kSlice);
      for (std::size_t c = 0; c < keys.size(); ++c) {
        const auto base = static_cast<std::uint32_t>(radix[c]);
        const auto min = static_cast<std::uint64_t>(spans[c].min);
        const auto null_digit = static_cast<std::uint32_t>(radix[c] - 1);
        each_chunk_in(keys[c], static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi),
                      [&](const ArrowArray& array, std::int64_t first, std::int64_t begin, std::int64_t end) {
          const void* validity = array.null_count != 0 ? array.buffers[0] : nullptr;
          std::uint32_t* at = packed.data() + first;
          const auto pack = [&](auto key_at) {
            for (std::int64_t row = begin; row < end; ++row) {
              const std::int64_t index = array.offset + row;
              const std::uint32_t digit = validity != nullptr && !bit_set(validity, index)
                                              ? null_digit
                                              : static_cast<std::uint32_t>(static_cast<std::uint64_t>(key_at(index)) - min);
              at[row] = at[row] * base + digit;
            }
          };
          with_key_reader(formats[c].values, array, pack);
        });
      }
    }
  });
  // The packed numbers, numbered in place.
  const std::uint32_t* const numbers = packed.data();
  number_dense(rows, dense_parts(packed_count, rows, parts), static_cast<std::size_t>(packed_count),
               [numbers](std::int64_t lo, std::int64_t hi, auto&& f) {
                 for (std::int64_t row = lo; row < hi; ++row) f(row, numbers[row]);
               },
               out);
  return out;
}

// ---------------------------------------------------------------- any keys

Result<Grouping> group_any(std::span<const ColumnChunks> keys, std::span<const KeyFormat> formats, std::int64_t rows,
                           int threads, KeyHashing hashing) {
  const std::uint64_t seed = process_seed();
  const std::size_t batches = keys[0].chunks.size();
  // Each dictionary's entries are hashed once, before the threads start
  // (consecutive batches often share one dictionary).
  std::vector<std::vector<DictionaryEntries>> entries(keys.size());
  std::vector<std::vector<const DictionaryEntries*>> entry_of(keys.size());
  for (std::size_t c = 0; c < keys.size(); ++c) {
    if (!formats[c].indices) {
      entry_of[c].assign(batches, nullptr);
      continue;
    }
    const std::uint64_t null_hash = KeyColumn(KeyFormat{formats[c].values, std::nullopt}, keys[c].chunks[0], nullptr, seed).null_hash();
    entries[c].reserve(batches);
    const ArrowArray* previous = nullptr;
    for (std::size_t b = 0; b < batches; ++b) {
      const ArrowArray& dictionary = *keys[c].chunks[b].dictionary;
      const bool same = previous != nullptr && previous->length == dictionary.length &&
                        previous->offset == dictionary.offset && previous->n_buffers == dictionary.n_buffers &&
                        std::equal(previous->buffers, previous->buffers + previous->n_buffers, dictionary.buffers);
      if (!same) {
        const ValueReader reader(formats[c].values, dictionary);
        DictionaryEntries hashed;
        hashed.hashes.resize(static_cast<std::size_t>(dictionary.length));
        for (std::int64_t i = 0; i < dictionary.length; ++i) {
          hashed.hashes[static_cast<std::size_t>(i)] =
              reader.is_null(i) ? null_hash : KeyColumn::value_hash(reader, i, seed);
        }
        entries[c].push_back(std::move(hashed));
        previous = &dictionary;
      }
      entry_of[c].push_back(&entries[c].back());
    }
  }
  std::vector<std::vector<KeyColumn>> columns(batches);
  for (std::size_t b = 0; b < batches; ++b) {
    columns[b].reserve(keys.size());
    for (std::size_t c = 0; c < keys.size(); ++c) {
      columns[b].emplace_back(formats[c], keys[c].chunks[b], entry_of[c][b], seed);
    }
  }

  Grouping out;
  out.group_of_row.resize(static_cast<std::size_t>(rows));
  const int parts = parts_for(rows, threads);
  std::vector<LocalGroups> locals(static_cast<std::size_t>(parts));
  std::vector<Malformed> malformed(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    const auto [lo, hi] = part_range(static_cast<std::size_t>(rows), parts, t);
    group_range(columns, keys, static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi), hashing,
                locals[static_cast<std::size_t>(t)], out.group_of_row.data(), malformed[static_cast<std::size_t>(t)]);
  });
  for (const Malformed& bad : malformed) {
    if (bad.row < 0) continue;
    return input_error(InputFault::Malformed, "column '" + keys[bad.column].name + "', row " +
                                                  std::to_string(bad.row) +
                                                  ": malformed Arrow array: dictionary index out of range");
  }
  LocalGroups& lead = locals[0];
  if (parts > 1) {
    GroupTable table;
    for (std::size_t l = 0; l < lead.first_rows.size(); ++l) {
      table.find_or_add(lead.hashes[l], [](std::uint32_t, std::uint32_t) { return false; },
                        [&] { return static_cast<std::uint32_t>(l); });
    }
    std::vector<std::vector<std::uint32_t>> renumber(static_cast<std::size_t>(parts));
    for (std::size_t t = 1; t < locals.size(); ++t) {
      const LocalGroups& local = locals[t];
      renumber[t].reserve(local.first_rows.size());
      for (std::uint32_t l = 0; l < local.first_rows.size(); ++l) {
        const std::uint8_t* key = local.bytes.data() + local.offsets[l];
        const std::size_t size = local.offsets[l + 1] - local.offsets[l];
        renumber[t].push_back(table.find_or_add(
            local.hashes[l], [&](std::uint32_t group, std::uint32_t) { return lead.holds(group, key, size); },
            [&] {
              push_released(lead.first_rows, local.first_rows[l]);
              push_released(lead.hashes, local.hashes[l]);
              lead.bytes.insert(lead.bytes.end(), key, key + size);
              push_released(lead.offsets, lead.bytes.size());
              return static_cast<std::uint32_t>(lead.first_rows.size() - 1);
            }));
      }
      locals[t].release();
    }
    renumber_rows(out.group_of_row, rows, parts, renumber);
  }
  // The key bytes were for comparing rows; they go now, before the rest of
  // the aggregation needs its memory.
  out.first_rows = std::move(lead.first_rows);
  lead.release();
  return out;
}

void append_escaped(std::string& out, ByteView bytes, bool text) {
  out += text ? "'" : "b'";
  static const char kHex[] = "0123456789abcdef";
  for (std::uint8_t c : bytes) {
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (text && c >= 0x80) {
      out += static_cast<char>(c);  // UTF-8 as it is
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  out += '\'';
}

}  // namespace

Result<std::vector<KeyFormat>> check_key_columns(std::span<const ColumnChunks> keys) {
  std::vector<KeyFormat> formats(keys.size());
  for (std::size_t c = 0; c < keys.size(); ++c) {
    const ColumnChunks& column = keys[c];
    if (!key_format(*column.schema, &formats[c])) {
      return input_error(InputFault::Refused,
                         "column '" + column.name + "' holds " + arrow_type_in_words(*column.schema) +
                             " values, which cannot be grouped by; group by integer, boolean, date, timestamp, "
                             "string or binary columns (or dictionaries of them)");
    }
    VANTORELLE_RETURN_IF_ERROR(check_column_chunks(column, formats[c].values, formats[c].indices));
  }
  return formats;
}

Result<Grouping> group_rows(std::span<const ColumnChunks> keys, std::span<const KeyFormat> formats,
                            std::int64_t rows, int threads, KeyHashing hashing) {
  VANTORELLE_ASSERT(!keys.empty() && keys.size() == formats.size(), "one format per key column");
  for (const ColumnChunks& column : keys) {
    VANTORELLE_ASSERT(column.chunks.size() == keys[0].chunks.size() && column.rows == rows,
                      "key columns of one table");
  }
  // (no path needs to meet a column without a single row: the packing would
  // count 0 numbers in it)
  if (rows == 0) return Grouping{};
  if (keys.size() == 1 && !formats[0].indices && family_of(formats[0].values.kind) == Family::Integer &&
      hashing == KeyHashing::Seeded) {
    return group_single_integer(keys[0], formats[0].values, rows, threads);
  }
  if (keys.size() == 1 && !formats[0].indices && family_of(formats[0].values.kind) == Family::Bytes) {
    if (std::optional<Grouping> grouped =
            group_bytes_column(keys[0], formats[0].values, rows, parts_for(rows, threads), hashing)) {
      return std::move(*grouped);
    }
  }
  if (keys.size() > 1 && hashing == KeyHashing::Seeded) {
    if (std::optional<Grouping> packed = group_packed_integers(keys, formats, rows, threads)) return std::move(*packed);
  }
  return group_any(keys, formats, rows, threads, hashing);
}

std::string describe_group(const Grouping& grouping, std::uint32_t group, std::span<const ColumnChunks> keys,
                           std::span<const KeyFormat> formats) {
  // The key is read from the group's first row: an error's text is the only
  // use of a group's key once the rows are grouped.
  const std::int64_t row = grouping.first_rows[group];
  const ColumnChunks& lead = keys[0];
  const std::size_t b = static_cast<std::size_t>(
      std::upper_bound(lead.starts.begin(), lead.starts.end(), row) - lead.starts.begin() - 1);
  std::vector<std::uint8_t> key;
  for (std::size_t c = 0; c < keys.size(); ++c) {
    KeyColumn(formats[c], keys[c].chunks[b], nullptr, 0).encode(row - lead.starts[b], key);
  }
  std::string out;
  const std::uint8_t* at = key.data();
  for (std::size_t c = 0; c < keys.size(); ++c) {
    if (c > 0) out += ", ";
    out += keys[c].name + "=";
    const std::uint8_t tag = *at++;
    if (tag == kNullTag) {
      out += "None";
    } else if (tag == kIntegerTag) {
      std::uint64_t raw;
      std::memcpy(&raw, at, 8);
      at += 8;
      const ValueFormat& format = formats[c].values;
      if (format.kind == Kind::Bool) {
        out += raw ? "True" : "False";
      } else if (format.is_signed) {
        out += std::to_string(static_cast<std::int64_t>(raw));
      } else {
        out += std::to_string(raw);
      }
    } else {
      std::uint64_t size;
      at = read_length(at, &size);
      append_escaped(out, ByteView(at, static_cast<std::size_t>(size)),
                     input_type_of(formats[c].values.kind) == InputType::STRING);
      at += size;
    }
  }
  return out;
}

}  // namespace vantorelle::engine
