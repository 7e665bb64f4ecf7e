// The grouped aggregations every door offers, over Arrow columns already in
// memory: one sketch per group of a table's rows (sketch_groups), and one
// merged sketch per group of a column of stored sketches (merge_stored_groups).
// The list functions use the parts in between (code_column, the stored
// sketches and their merge) with their own grouping.
//
// Every failure is an engine error (input_errors.h) whose text names the
// column, the row and, where the rows are grouped by key, the group's key:
//   column 'v', row 7: Unsupported type for HyperLogLogPlusPlus (an unsigned
//   value above 2^63 - 1) (group k='x')
// The result does not depend on the number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/column_chunks.h"
#include "engine/value_codes.h"
#include "error/result.h"
#include "hll/grouped_sketches.h"
#include "hll/martingale_counts.h"

namespace vantorelle::engine {

struct GroupedSketches {
  std::vector<std::int64_t> first_rows;  // per group, its first row
  SerializedSketches sketches;           // per group, in the same order
};

// A row's place in errors after the row number: "" or " (group k=3)".
using RowContext = std::function<std::string(std::int64_t row)>;

// One sketch per group of `keys` of the values of `values`, of the family
// `ty` asks for (LONG or STRING), or the column's own when none.
Result<GroupedSketches> sketch_groups(std::span<const ColumnChunks> keys, const ColumnChunks& values,
                                      std::optional<InputType> ty, int normal_precision, int sparse_precision,
                                      int threads);

struct GroupedCounts {
  std::vector<std::int64_t> first_rows;  // per group, its first row
  std::vector<MartingaleCount> counts;   // per group, in the same order
  std::int32_t sparse_precision = 0;     // the counter's (0: registers only)
};

// The martingale count of each group of `keys` over the values of `values`,
// read and coded as sketch_groups reads them; no sketch is written.
Result<GroupedCounts> count_groups(std::span<const ColumnChunks> keys, const ColumnChunks& values,
                                   std::optional<InputType> ty, int normal_precision, int sparse_precision,
                                   int threads);

// One merged sketch per group of `keys` of the stored sketches in `sketches`
// (a group with only nulls is a null entry).
Result<GroupedSketches> merge_stored_groups(std::span<const ColumnChunks> keys, const ColumnChunks& sketches,
                                            int threads);

// The codes of every row of a checked value column for `builder` (of
// `family`); a refused value is a Refused error, a dictionary index out of
// range a Malformed one, naming the column, `where` and the row.
Result<Codes> code_column(const ColumnChunks& column, const ValueColumnFormat& format,
                                               InputType family, const GroupedSketchBuilder& builder,
                                               int threads, const char* where, const RowContext& context);

// A column of serialised sketches: binary, large_binary, binary_view or the
// all-null type, each chunk checked.
// The one check that an Arrow column holds serialised sketches: binary,
// large_binary, binary_view, or the all-null type. Sets `format`, or refuses
// the column naming it (when `name` is not empty) and its type. Every reader
// of stored sketches (estimates, merge_by, the list functions) asks it.
Status check_sketch_schema(const ArrowSchema& schema, std::string_view name, ValueFormat* format);
Status check_sketch_column(const ColumnChunks& column);

// The stored sketches of a checked sketch column's non-null rows, with
// their rows.
struct StoredSketches {
  std::vector<ByteView> sketches;
  std::vector<std::int64_t> rows;
};
StoredSketches stored_sketches(const ColumnChunks& column);

// Validates every stored sketch and merges each group's in row order: a
// Corrupt error for bytes that are not a sketch, an Incompatible one for a
// sketch that cannot join its group.
Result<SerializedSketches> merge_stored(const StoredSketches& stored, std::span<const std::uint32_t> groups,
                                        std::uint32_t group_count, int threads, const std::string& name,
                                        const char* where, const RowContext& context);

}  // namespace vantorelle::engine
