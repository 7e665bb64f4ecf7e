// Group numbers for the rows of a table, from its key columns, as SQL's
// GROUP BY forms groups: rows whose key tuples are equal are one group, a
// null equals a null, and groups are numbered in order of first appearance.
//
// Keys: integers of every width (signed and unsigned), booleans, dates,
// times, timestamps and durations (their integer), text and binary of every
// layout, and dictionary-encoded forms of these (compared by the dictionary
// value, so batches with different dictionaries agree).
//
// Each row's key tuple is hashed once (a per-process random seed, so crafted
// keys cannot predict collisions) into a flat open-addressing table of group
// numbers; a candidate group is confirmed by comparing the row's key with the
// group's first row. A single integer key is compared by value directly.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "native/arrow_table.h"

namespace vantorelle::native {

struct Grouping {
  std::vector<std::uint32_t> group_of_row;
  std::vector<std::int64_t> first_rows;  // per group, its first row
  // A row whose dictionary index lies outside its dictionary, and its key
  // column; the grouping stops there.
  std::int64_t malformed_row = -1;
  std::size_t malformed_column = 0;
};

// Checks that each column can be a key (GIL held): false with a TypeError
// naming the column and its type, or a ValueError for a malformed layout.
bool check_key_columns(std::span<const ColumnChunks> keys);

// Numbers the rows (no GIL needed), a single integer key on up to `threads`
// threads; the numbers do not depend on them. The columns passed
// check_key_columns.
Grouping group_rows(std::span<const ColumnChunks> keys, std::int64_t rows, int threads);

}  // namespace vantorelle::native
