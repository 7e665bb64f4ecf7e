// SketchColumn: a column of serialised sketches gathered before any is read,
// so that the reading can run with the GIL released (and on several
// threads). An Arrow array is kept as it is and its rows are read where
// they lie; the items of other columns become row views into bytes that the
// column keeps alive (Python bytes objects, or buffer exports of other
// bytes-like objects, which also stops them from being resized meanwhile).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/arrow_values.h"
#include "utils/bytes.h"

namespace vantorelle::native {

using engine::ValueFormat;

class SketchColumn {
 public:
  struct Row {
    ByteView bytes;
    bool present = false;  // false for a null row (None, an Arrow null)
  };

  SketchColumn() = default;
  SketchColumn(const SketchColumn&) = delete;
  SketchColumn& operator=(const SketchColumn&) = delete;
  // Held with the GIL: the owners' release may run Python code.
  ~SketchColumn() {
    for (Py_buffer& buffer : buffers_) PyBuffer_Release(&buffer);
    for (PyObject* object : objects_) Py_DECREF(object);
  }

  std::size_t size() const { return size_; }
  void add_null() { add_row({}); }
  void add(ByteView bytes) { add_row({bytes, true}); }
  // The rows of an Arrow array (checked with array_fault), read where they
  // lie; `owner` keeps the array alive as long as the column.
  void add_arrow(const engine::ValueFormat& format, const ArrowArray& array, std::shared_ptr<void> owner);

  // Calls visit(row, bytes) for the present rows of [begin, end) and
  // visit_null(row) for the others, in row order, until one returns false;
  // false then.
  template <class Visit, class VisitNull>
  bool for_each_row(std::size_t begin, std::size_t end, Visit&& visit, VisitNull&& visit_null) const;

  // Keeps an Arrow array (or any other owner) alive as long as the column.
  void keep(std::shared_ptr<void> owner) { owners_.push_back(std::move(owner)); }
  // Adds a row viewing `object` (a bytes object or any bytes-like object
  // with one-byte items). False with TypeError naming `row` otherwise.
  bool add_object(PyObject* object, std::int64_t row);

 private:
  // A stretch of rows: an Arrow array's, or gathered row views.
  struct Part {
    std::size_t first = 0;  // the column's row number of its first row
    std::size_t length = 0;
    std::optional<engine::ValueReader> arrow;
    std::vector<Row> rows;  // when not arrow
  };
  void add_row(const Row& row);

  std::vector<Part> parts_;
  std::size_t size_ = 0;
  std::vector<std::shared_ptr<void>> owners_;
  std::vector<PyObject*> objects_;  // strong references
  std::deque<Py_buffer> buffers_;    // a deque: exports never move
};

template <class Visit, class VisitNull>
bool SketchColumn::for_each_row(std::size_t begin, std::size_t end, Visit&& visit, VisitNull&& visit_null) const {
  for (const Part& part : parts_) {
    if (part.first + part.length <= begin) continue;
    if (part.first >= end) break;
    const std::size_t from = std::max(begin, part.first) - part.first;
    const std::size_t to = std::min(end, part.first + part.length) - part.first;
    if (part.arrow) {
      for (std::size_t i = from; i < to; ++i) {
        ByteView bytes;
        const bool done = part.arrow->bytes(static_cast<std::int64_t>(i), &bytes) == engine::Row::Null
                              ? visit_null(part.first + i)
                              : visit(part.first + i, bytes);
        if (!done) return false;
      }
    } else {
      for (std::size_t i = from; i < to; ++i) {
        const Row& row = part.rows[i];
        if (!(row.present ? visit(part.first + i, row.bytes) : visit_null(part.first + i))) return false;
      }
    }
  }
  return true;
}

// The one check that an Arrow column holds serialised sketches: binary,
// large_binary, binary_view, or the all-null type. Sets `format` and returns
// true, or raises RefusedValueError naming the column (when `name` is not
// empty) and its type, and returns false. Every reader of stored sketches
// (estimates, merge_by, the list functions) asks it.
bool check_sketch_schema(const ArrowSchema& schema, std::string_view name, ValueFormat* format);

// The column readers. The Arrow one takes objects with __arrow_c_stream__ or
// __arrow_c_array__ of type binary, large_binary or binary_view (and the
// all-null type), and sets `taken` when it applies; the other reads any
// iterable of bytes-like objects and None. Both return false with an
// exception set on failure.
bool read_arrow_sketch_column(PyObject* values, SketchColumn& column, bool* taken);
bool read_iterable_sketch_column(PyObject* values, SketchColumn& column);

}  // namespace vantorelle::native
