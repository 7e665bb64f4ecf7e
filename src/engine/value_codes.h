// A value column's rows as codes for the grouped builder: each value hashed
// once, through the same formats and hash functions as the single-column
// reader (arrow_values.h); a null row gets GroupedSketchBuilder::kNoValue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "engine/arrow_values.h"
#include "engine/column_chunks.h"
#include "error/result.h"
#include "hll/grouped_sketches.h"

namespace vantorelle::engine {

struct ValueColumnFormat {
  ValueFormat values;
  std::optional<ValueFormat> indices;  // dictionary-encoded
};

// The column's format, its chunks checked (array_checks.h): a Refused error
// naming a column of a type that cannot be counted, or a Malformed one for
// an array that cannot be read or a dictionary entry that is not UTF-8.
Result<ValueColumnFormat> check_value_column(const ColumnChunks& column);

// Why a row cannot be coded: a value that cannot be added (a uint64 above
// 2^63 - 1), a dictionary index outside its dictionary, text that is not
// UTF-8.
enum class CodingFault { Refused, IndexOutOfRange, NotUtf8 };

// The first row that cannot be coded; row -1 when none.
struct CodingFailure {
  std::int64_t row = -1;
  CodingFault fault = CodingFault::Refused;
  std::uint64_t refused_value = 0;  // (Refused: the unsigned value above 2^63 - 1)
};

struct ValueCodes {
  Codes codes;
  CodingFailure failure;
};

// The most rows code_blocks() hands over at once.
inline constexpr std::size_t kCodeBlock = 512;

// Receives the codes of rows [row, row + count) of one part (count at most
// kCodeBlock), in row order within the part.
using BlockSink = std::function<void(int part, std::int64_t row, std::size_t count, const std::uint32_t* codes)>;

// Codes every row of the checked `column` a block at a time, `parts`
// nearly equal ranges of rows (part_range) at once, each on its own thread;
// a part stops at its first failure.
CodingFailure code_blocks(const ColumnChunks& column, const ValueColumnFormat& format,
                          const GroupedSketchBuilder& builder, int parts, const BlockSink& sink);

// Codes every row of the checked `column`, `threads` ranges of rows at once.
ValueCodes code_values(const ColumnChunks& column, const ValueColumnFormat& format,
                       const GroupedSketchBuilder& builder, int threads);

// The first row holding a value, or -1 (a row with a dictionary index
// outside its dictionary counts as holding one).
std::int64_t first_value_row(const ColumnChunks& column, const ValueColumnFormat& format);

}  // namespace vantorelle::engine
