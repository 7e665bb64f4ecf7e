// One column of a table as the engine reads it: its schema, its name (for
// errors) and its arrays, one per record batch. The arrays are non-owning
// views (release is null); whoever made them keeps the batches alive.
//
// A chunk is indexed from 0 like any array: a batch's own offset is already
// added to its child's.
#pragma once

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

}  // namespace vantorelle::engine
