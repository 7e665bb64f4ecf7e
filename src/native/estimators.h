// The estimator functions of vantorelle._native, for the module's table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::native {

// Null-terminated, for PyModule_AddFunctions.
extern PyMethodDef estimator_functions[];

}  // namespace vantorelle::native
