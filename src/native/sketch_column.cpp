// Iterables of serialised sketches: lists and tuples read by index, the rest
// through the iterator protocol; each item None or bytes-like.
#include "native/sketch_column.h"

#include <string>

#include "engine/grouped_aggregation.h"
#include "native/engine_errors.h"
#include "native/errors.h"
#include "native/item_iteration.h"

namespace vantorelle::native {

bool check_sketch_schema(const ArrowSchema& schema, std::string_view name, ValueFormat* format) {
  const Status checked = engine::check_sketch_schema(schema, name, format);
  if (!checked) raise_engine_error(checked.error());
  return checked.has_value();
}

void SketchColumn::add_row(const Row& row) {
  if (parts_.empty() || parts_.back().arrow) parts_.push_back(Part{size_, 0, std::nullopt, {}});
  parts_.back().rows.push_back(row);
  ++parts_.back().length;
  ++size_;
}

void SketchColumn::add_arrow(const engine::ValueFormat& format, const ArrowArray& array, std::shared_ptr<void> owner) {
  const auto length = static_cast<std::size_t>(array.length);
  parts_.push_back(Part{size_, length, engine::ValueReader(format, array), {}});
  size_ += length;
  keep(std::move(owner));
}

bool SketchColumn::add_object(PyObject* object, std::int64_t row) {
  if (object == Py_None) {
    add_null();
    return true;
  }
  if (PyBytes_Check(object)) {
    objects_.push_back(Py_NewRef(object));
    add(ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(object))));
    return true;
  }
  if (PyObject_CheckBuffer(object)) {
    Py_buffer& buffer = buffers_.emplace_back();
    if (PyObject_GetBuffer(object, &buffer, PyBUF_RECORDS_RO) != 0) {
      buffers_.pop_back();
      return false;
    }
    if (buffer.itemsize != 1) {
      PyErr_Format(PyExc_TypeError,
                   "row %lld: a serialised sketch must have one-byte items, not items of %zd "
                   "bytes",
                   static_cast<long long>(row), buffer.itemsize);
      return false;
    }
    if (!PyBuffer_IsContiguous(&buffer, 'C')) {
      // A strided view (a slice with a step): its bytes copied in order, as
      // from_bytes reads them.
      PyObject* copy = PyBytes_FromObject(object);
      if (copy == nullptr) return false;
      objects_.push_back(copy);
      add(ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(copy)),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(copy))));
      return true;
    }
    add(ByteView(static_cast<const std::uint8_t*>(buffer.buf), static_cast<std::size_t>(buffer.len)));
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "row %lld: expected a serialised sketch (bytes-like) or None, not %.200s",
               static_cast<long long>(row), Py_TYPE(object)->tp_name);
  return false;
}

bool read_iterable_sketch_column(PyObject* values, SketchColumn& column) {
  return for_each_item(values, [&](PyObject* item, std::int64_t row) {
    return column.add_object(item, row);
  });
}

}  // namespace vantorelle::native
