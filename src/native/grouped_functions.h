// The grouped functions of vantorelle._native (see grouped_functions.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::native {

PyObject* sketch_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* merge_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* sketch_lists(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* merge_lists(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* int64_array(PyObject* module, PyObject* data);
// collect() of an Arrow column on several threads (split_column.cpp).
PyObject* collect_split(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vantorelle::native
