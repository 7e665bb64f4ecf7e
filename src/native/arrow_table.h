// Whole Arrow inputs held in memory for the grouped functions: a table (a C
// stream of struct batches) or one column (a C stream or a single array).
// Every batch stays owned, and so alive, until the holder is destroyed, with
// the GIL held (producers' release callbacks may need it).
//
// A column's chunk is a non-owning copy of the batch's child array with the
// batch's own offset added, so a reader indexes it from 0 like any array.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/column_chunks.h"
#include "native/arrow_capsules.h"

namespace vantorelle::native {

using engine::ColumnChunks;

class ArrowTable {
 public:
  // Reads every batch of `table.__arrow_c_stream__()`; false with an
  // exception set on failure.
  bool read(PyObject* table);

  // The column named `name` (GIL held); false with ValueError
  // "no column named 'x' (columns: a, b, c)".
  bool column(const std::string& name, ColumnChunks* out) const;

  std::int64_t rows() const { return rows_; }

 private:
  OwnedSchema schema_;
  std::vector<std::unique_ptr<OwnedArray>> batches_;
  std::int64_t rows_ = 0;
};

// One column from `__arrow_c_stream__` or `__arrow_c_array__`.
class ArrowColumn {
 public:
  // False with an exception set on failure (TypeError when `values` has
  // neither method).
  bool read(PyObject* values);
  const ColumnChunks& chunks() const { return chunks_; }

 private:
  OwnedSchema schema_;
  std::vector<std::unique_ptr<OwnedArray>> arrays_;
  ColumnChunks chunks_;
};

// Reads the stream's batches into `batches` (false with an exception set).
bool read_stream_batches(PyObject* capsule, OwnedSchema& schema,
                         std::vector<std::unique_ptr<OwnedArray>>& batches);

}  // namespace vantorelle::native
