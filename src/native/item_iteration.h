// Visiting the items of a Python list, tuple or other iterable in order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "python/owned_ref.h"

namespace vantorelle::native {

// Calls visit(item, position) for each item until it returns false. Lists
// and tuples are read by index, their size read anew each round: a visit may
// run Python code that changes the list. False when an exception is set at
// the end (the iteration's own, or one a visit left).
template <class Visit>
bool for_each_item(PyObject* values, Visit&& visit) {
  if (PyList_CheckExact(values) || PyTuple_CheckExact(values)) {
    const bool is_list = PyList_CheckExact(values);
    for (Py_ssize_t i = 0;; ++i) {
      const Py_ssize_t size = is_list ? PyList_GET_SIZE(values) : PyTuple_GET_SIZE(values);
      if (i >= size) break;
      python::OwnedRef item(
          Py_NewRef(is_list ? PyList_GET_ITEM(values, i) : PyTuple_GET_ITEM(values, i)));
      if (!visit(item.get(), static_cast<std::int64_t>(i))) break;
    }
    return !PyErr_Occurred();
  }
  python::OwnedRef iterator(PyObject_GetIter(values));
  if (!iterator) return false;
  for (std::int64_t i = 0;; ++i) {
    python::OwnedRef item(PyIter_Next(iterator.get()));
    if (!item) break;
    if (!visit(item.get(), i)) break;
  }
  return !PyErr_Occurred();
}

}  // namespace vantorelle::native
