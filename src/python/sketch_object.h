// The instance layout of HyperLogLogPlusPlus: the object header, the
// aggregator and its borrow state. The members are constructed in place
// right after allocation and destroyed in tp_dealloc.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "hll/hyperloglogplusplus.h"
#include "python/borrow.h"

namespace vantorelle::python {

struct SketchObject {
  PyObject_HEAD
  // Engaged for every instance that a constructor handed out.
  std::optional<HyperLogLogPlusPlus> sketch;
  BorrowState borrow;
};

inline SketchObject* as_sketch(PyObject* object) { return reinterpret_cast<SketchObject*>(object); }

// The class object, created on first need and kept for the life of the
// process. Returns nullptr with an exception set if creation fails.
PyTypeObject* sketch_type();

// A new instance of `type` that owns `sketch`; nullptr with an exception set
// if allocation fails.
PyObject* wrap_sketch(PyTypeObject* type, HyperLogLogPlusPlus&& sketch);

}  // namespace vantorelle::python
