// The buffer check that every reader of a table column makes before it
// touches a row: each chunk must carry the buffers its Arrow type promises,
// through its dictionary where the column is dictionary-encoded.
#pragma once

#include <optional>

#include "native/arrow_table.h"
#include "native/arrow_values.h"
#include "native/errors.h"

namespace vantorelle::native {

inline bool layout_fits(const ValueFormat& format, const ArrowArray& array) {
  return ValueReader(format, array).check_layout() && (array.n_buffers == 0 || array.buffers != nullptr);
}

// Raises the InvalidInput error naming the column at the first chunk whose
// buffers do not match `values` (read through `indices` when present).
inline bool check_chunk_layouts(const ColumnChunks& column, const ValueFormat& values,
                                const std::optional<ValueFormat>& indices) {
  for (const ArrowArray& chunk : column.chunks) {
    const bool fits = indices ? chunk.dictionary != nullptr && layout_fits(*indices, chunk) &&
                                    layout_fits(values, *chunk.dictionary)
                              : layout_fits(values, chunk);
    if (!fits) {
      raise_sketch_error_format(ErrorClass::InvalidInput,
                                "malformed Arrow array in column '%s': its buffers do not match its type",
                                column.name.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace vantorelle::native
