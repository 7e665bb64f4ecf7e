// vantorelle._native.estimates: the estimates of a column of serialised
// sketches, an int64 column (arrow_export.h) with one value per row.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::native {

extern const char kEstimatesDoc[];

// estimates(column, threads=1, method=0, confidence=None) -> ArrowExport, or a
// tuple of three with a confidence (METH_VARARGS | METH_KEYWORDS).
PyObject* estimates(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vantorelle::native
