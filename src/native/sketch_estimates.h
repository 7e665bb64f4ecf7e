// vantorelle._native.estimates: the estimates of a column of serialised
// sketches, one native int64 per row in a bytes object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::native {

extern const char kEstimatesDoc[];

// estimates(column, threads=1) -> bytes (METH_VARARGS | METH_KEYWORDS).
PyObject* estimates(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vantorelle::native
