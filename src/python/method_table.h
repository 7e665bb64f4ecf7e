// Entries of a PyMethodDef table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::python {

// The method table stores every calling convention as PyCFunction; the flags
// tell the interpreter the real signature.
template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vantorelle::python
