// Group numbers for the rows of a table, from its key columns, as SQL's
// GROUP BY forms groups: rows whose key tuples are equal are one group, a
// null equals a null, and groups are numbered in order of first appearance.
//
// Keys: integers of every width (signed and unsigned), booleans, dates,
// times, timestamps and durations (their integer), text and binary of every
// layout (plain, large, view), dictionary-encoded forms of these (compared
// by the dictionary value, so batches with different dictionaries agree),
// and any number of such columns together.
//
// The rows are split into `threads` contiguous ranges. In each, the key
// columns are hashed a block of rows at a time, one column after the other
// in a loop typed for its layout (a per-process random seed, so crafted keys
// cannot predict collisions); then each row's hash is looked up, a block
// ahead of use, in a flat table of the range's groups. A candidate group is
// confirmed against the group's own copy of its key (its key bytes, kept
// here, not a row of the input). The ranges' groups are then numbered in
// range order, which is the order of first appearance in the whole table,
// so the numbers do not depend on the number of threads.
//
// A group's key bytes are, for each column: a null as 0; an integer as 1
// and its 64 bits (sign- or zero-extended); bytes as 2, the length (a
// varint: one byte below 128) and the bytes. They live while the rows are
// grouped; a single integer key needs none (the key is its own table key),
// and a single plain text or binary key keeps just its length and bytes
// (bytes_groups.h, where threads may also split the rows by hash rather
// than by range).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/arrow_values.h"
#include "engine/column_chunks.h"
#include "error/result.h"
#include "utils/mapped_allocator.h"

namespace vantorelle::engine {

struct KeyFormat {
  ValueFormat values;
  std::optional<ValueFormat> indices;  // dictionary-encoded
};

// The key format of each column, its chunks checked (array_checks.h): a
// Refused error naming a column of a type that cannot be a key, or a
// Malformed one for an array that cannot be read.
Result<std::vector<KeyFormat>> check_key_columns(std::span<const ColumnChunks> keys);

struct Grouping {
  // Not zeroed when sized: every path writes each row's number.
  MappedVector<std::uint32_t> group_of_row;
  std::vector<std::int64_t> first_rows;  // per group, its first row

  std::size_t groups() const { return first_rows.size(); }
};

// How rows are hashed: Seeded in use. The others are for tests of the
// comparison of keys, which seeded hashes almost never reach with unequal
// keys: Constant gives every row the same hash, so that every lookup
// compares keys; Colliding keeps 12 bits of the hash, so that lookups in
// tables of many groups (past the caches) also meet other keys of their
// hash.
enum class KeyHashing { Seeded, Constant, Colliding };

// The bits of a row's hash that `hashing` keeps.
inline std::uint64_t kept_hash_bits(KeyHashing hashing) {
  switch (hashing) {
    case KeyHashing::Constant: return 0;
    case KeyHashing::Colliding: return 0xFFF;
    default: return ~std::uint64_t{0};
  }
}

// Numbers the rows of the checked key columns on up to `threads` threads. A
// dictionary index outside its dictionary is a Malformed error naming the
// column and the first such row.
Result<Grouping> group_rows(std::span<const ColumnChunks> keys, std::span<const KeyFormat> formats,
                            std::int64_t rows, int threads, KeyHashing hashing = KeyHashing::Seeded);

// A group's key as a user would read it: "k=3", "k=None, name='x'" (read
// from its first row).
std::string describe_group(const Grouping& grouping, std::uint32_t group, std::span<const ColumnChunks> keys,
                           std::span<const KeyFormat> formats);

}  // namespace vantorelle::engine
