// One column of a table as the engine reads it: its schema, its name (for
// errors) and its arrays, one per record batch. The arrays are non-owning
// views (release is null); whoever made them keeps the batches alive.
//
// A chunk is indexed from 0 like any array: a batch's own offset is already
// added to its child's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/arrow_abi.h"

namespace vantorelle::engine {

struct ColumnChunks {
  const ArrowSchema* schema = nullptr;
  std::string name;
  std::vector<ArrowArray> chunks;    // non-owning (release is null)
  std::vector<std::int64_t> starts;  // row of each chunk's first row
  std::int64_t rows = 0;

  void add(const ArrowArray& chunk) {
    starts.push_back(rows);
    chunks.push_back(chunk);
    chunks.back().release = nullptr;
    rows += chunk.length;
  }
};

// Calls f(array, first, begin, end) for each chunk holding rows of [lo, hi):
// the chunk, its first row in the column, and its rows [begin, end) within
// the range.
template <class F>
void each_chunk_in(const ColumnChunks& column, std::int64_t lo, std::int64_t hi, F&& f) {
  for (std::size_t b = 0; b < column.chunks.size(); ++b) {
    const ArrowArray& array = column.chunks[b];
    const std::int64_t first = column.starts[b];
    const std::int64_t begin = std::max<std::int64_t>(lo - first, 0);
    const std::int64_t end = std::min<std::int64_t>(hi - first, array.length);
    if (begin < end) f(array, first, begin, end);
  }
}

}  // namespace vantorelle::engine
