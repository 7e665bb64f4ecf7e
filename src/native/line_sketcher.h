// The LineSketcher type of vantorelle._native (line_sketcher.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::native {

// Adds the LineSketcher type to the module (its exec slot); -1 with an
// exception set on failure.
int add_line_sketcher(PyObject* module);

}  // namespace vantorelle::native
