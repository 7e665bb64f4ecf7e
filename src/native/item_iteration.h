// Visiting the items of a Python list, tuple or other iterable in order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "python/owned_ref.h"

namespace vantorelle::native {

// Signal handlers (Ctrl-C) run every this many items: an iteration in C runs
// none of them on its own, so it could not be stopped.
constexpr std::int64_t kItemsBetweenSignalChecks = std::int64_t{1} << 16;

inline bool interrupted(std::int64_t position) {
  return position % kItemsBetweenSignalChecks == kItemsBetweenSignalChecks - 1 && PyErr_CheckSignals() < 0;
}

// Calls visit(item, position) for each item until it returns false. Lists
// and tuples are read by index, their size read anew each round: a visit may
// run Python code that changes the list. False when an exception is set at
// the end (the iteration's own, one a visit left, or a signal handler's).
template <class Visit>
bool for_each_item(PyObject* values, Visit&& visit) {
  if (PyList_CheckExact(values) || PyTuple_CheckExact(values)) {
    const bool is_list = PyList_CheckExact(values);
    for (Py_ssize_t i = 0;; ++i) {
      const Py_ssize_t size = is_list ? PyList_GET_SIZE(values) : PyTuple_GET_SIZE(values);
      if (i >= size) break;
      python::OwnedRef item(
          Py_NewRef(is_list ? PyList_GET_ITEM(values, i) : PyTuple_GET_ITEM(values, i)));
      if (!visit(item.get(), static_cast<std::int64_t>(i)) || interrupted(i)) break;
    }
    return !PyErr_Occurred();
  }
  python::OwnedRef iterator(PyObject_GetIter(values));
  if (!iterator) return false;
  for (std::int64_t i = 0;; ++i) {
    python::OwnedRef item(PyIter_Next(iterator.get()));
    if (!item) break;
    if (!visit(item.get(), i) || interrupted(i)) break;
  }
  return !PyErr_Occurred();
}

}  // namespace vantorelle::native
