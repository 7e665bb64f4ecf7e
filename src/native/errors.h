// Failures of the native module as Python exceptions. A sketch error is
// translated as the class's methods translate it; a broken invariant, which
// no input should reach here (the module only reads columns into fresh
// aggregators and checks bytes), ends the call as SystemError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error/sketch_error.h"
#include "python/guarded.h"

namespace vantorelle::native {

// InvalidArgument → ValueError, every other kind → RuntimeError with the
// product prefix.
inline void raise_error(const SketchError& error) {
  if (error.kind() == ErrorKind::InvalidArgument) {
    PyErr_SetString(PyExc_ValueError, error.display().c_str());
  } else {
    PyErr_Format(PyExc_RuntimeError, "Vantorelle error: %s", error.display().c_str());
  }
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return python::guarded_with(body, [](const char* text) {
    PyErr_Format(PyExc_SystemError, "vantorelle internal error: %s", text);
  });
}

}  // namespace vantorelle::native
