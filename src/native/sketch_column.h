// SketchColumn: a column of serialised sketches gathered before any is read,
// so that the reading can run with the GIL released (and on several
// threads). Each row is a view into bytes that the column keeps alive: Arrow
// arrays, Python bytes objects, or buffer exports of other bytes-like
// objects (which also stops them from being resized meanwhile).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <deque>
#include <memory>
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

  const std::vector<Row>& rows() const { return rows_; }
  void add_null() { rows_.push_back({}); }
  void add(ByteView bytes) { rows_.push_back({bytes, true}); }

  // Keeps an Arrow array (or any other owner) alive as long as the column.
  void keep(std::shared_ptr<void> owner) { owners_.push_back(std::move(owner)); }
  // Adds a row viewing `object` (a bytes object or any bytes-like object
  // with one-byte items). False with TypeError naming `row` otherwise.
  bool add_object(PyObject* object, std::int64_t row);

 private:
  std::vector<Row> rows_;
  std::vector<std::shared_ptr<void>> owners_;
  std::vector<PyObject*> objects_;  // strong references
  std::deque<Py_buffer> buffers_;    // a deque: exports never move
};

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
