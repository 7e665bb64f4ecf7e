// A value column's rows as codes for the grouped builder: each value hashed
// once, through the same formats and hash functions as the single-column
// reader (arrow_values.h); a null row gets GroupedSketchBuilder::kNoValue.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "hll/grouped_sketches.h"
#include "native/arrow_table.h"

namespace vantorelle::native {

// Checks that the column can be counted (GIL held) and gives the input type
// of its values: false with a TypeError naming the column and its type in
// words, or a ValueError for a malformed layout.
bool check_value_column(const ColumnChunks& column, InputType* type);

struct ValueCodes {
  std::vector<std::uint32_t> codes;
  // The first row that cannot be added (a uint64 above 2^63 - 1), or whose
  // dictionary index lies outside its dictionary; -1 when none.
  std::int64_t refused_row = -1;
  bool malformed = false;
};

// Codes every row of `column` (no GIL needed), `threads` ranges of rows at once.
ValueCodes code_values(const ColumnChunks& column, const GroupedSketchBuilder& builder, int threads);

// The first row holding a value, or -1 (no GIL needed).
std::int64_t first_value_row(const ColumnChunks& column);

}  // namespace vantorelle::native
