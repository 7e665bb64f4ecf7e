// Iterables of serialised sketches: lists and tuples read by index, the rest
// through the iterator protocol; each item None or bytes-like.
#include "native/sketch_column.h"

#include "python/owned_ref.h"

namespace vantorelle::native {

using python::OwnedRef;

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
    if (PyObject_GetBuffer(object, &buffer, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
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
    add(ByteView(static_cast<const std::uint8_t*>(buffer.buf), static_cast<std::size_t>(buffer.len)));
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "row %lld: expected a serialised sketch (bytes-like) or None, not %.200s",
               static_cast<long long>(row), Py_TYPE(object)->tp_name);
  return false;
}

bool read_iterable_sketch_column(PyObject* values, SketchColumn& column) {
  if (PyList_CheckExact(values) || PyTuple_CheckExact(values)) {
    const bool is_list = PyList_CheckExact(values);
    // The size is read anew each round: a buffer export may run Python code
    // that changes the list.
    for (Py_ssize_t i = 0;; ++i) {
      const Py_ssize_t size = is_list ? PyList_GET_SIZE(values) : PyTuple_GET_SIZE(values);
      if (i >= size) break;
      OwnedRef item(Py_NewRef(is_list ? PyList_GET_ITEM(values, i) : PyTuple_GET_ITEM(values, i)));
      if (!column.add_object(item.get(), i)) return false;
    }
    return true;
  }
  OwnedRef iterator(PyObject_GetIter(values));
  if (!iterator) return false;
  for (std::int64_t i = 0;; ++i) {
    OwnedRef item(PyIter_Next(iterator.get()));
    if (!item) break;
    if (!column.add_object(item.get(), i)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace vantorelle::native
