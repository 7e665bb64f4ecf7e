// count_by of vantorelle._native (see count_by.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::native {

extern const char kCountByDoc[];
PyObject* count_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vantorelle::native
