// The checks every reader of Arrow input makes before it touches a row. An
// Arrow producer hands over pointers; nothing stops a faulty one from
// giving offsets past its data, views into buffers it does not have or a
// validity bitmap it never allocated. Each array is checked once, here,
// and the readers (arrow_values.h) then read rows without further checks:
//
//   - the buffer count its type has, and no missing buffer a row needs;
//   - a non-negative length and offset;
//   - string and binary offsets: non-negative, in order, and the data they
//     span readable (memory_probe.h);
//   - views: a non-negative length, and a longer-than-inline view's buffer
//     number and range inside the data buffers (whose sizes views carry);
//   - every fixed-width buffer's rows readable.
//
// Dictionary indices are checked where they are read, row by row. Text
// (UTF-8 by Arrow's definition) is checked well formed only where it is
// counted, in value columns, a row at a time as it is coded: keys are
// compared and handed back as bytes.
#pragma once

#include <optional>
#include <string>

#include "engine/arrow_abi.h"
#include "engine/arrow_values.h"
#include "engine/column_chunks.h"
#include "error/result.h"

namespace vantorelle::engine {

// Whether the bits [first, first + count) of `bitmap` can be read (a
// validity bitmap's rows, say); none always can.
bool bits_readable(const void* bitmap, std::int64_t first, std::int64_t count);

// The fault of one array of `format` (not a dictionary), in words ("its
// offsets are not in order"), or nothing when it can be read.
std::optional<std::string> array_fault(const ValueFormat& format, const ArrowArray& array);

// The fault of a chunk of a column: plain, or its indices and its dictionary
// when `indices` is set.
std::optional<std::string> chunk_fault(const ValueFormat& values, const std::optional<ValueFormat>& indices,
                                       const ArrowArray& chunk);

// Every chunk of the column: an InvalidArgument error "malformed Arrow
// array in column 'x': <fault>" at the first that cannot be read.
Status check_column_chunks(const ColumnChunks& column, const ValueFormat& values,
                           const std::optional<ValueFormat>& indices);

// The first of rows [begin, end) of a readable text array whose bytes are
// not well formed UTF-8, nulls left out; -1 when there is none or the array
// is not text. (A value column's rows are looked at as they are coded, on
// the coding threads: value_codes.h.)
std::int64_t first_malformed_text(const ValueFormat& format, const ArrowArray& array, std::int64_t begin,
                                  std::int64_t end);

// The entries of a dictionary column's chunks, after check_column_chunks:
// an InvalidArgument error naming the first that is not UTF-8.
Status check_dictionary_text(const ColumnChunks& column, const ValueFormat& values);

}  // namespace vantorelle::engine
