// The entry points of HyperLogLogPlusPlus as the interpreter calls them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::python {

PyObject* sketch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void sketch_dealloc(PyObject* self);
PyObject* sketch_repr(PyObject* self);

PyObject* sketch_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* sketch_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sketch_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* sketch_result(PyObject* self, PyObject* unused);
PyObject* sketch_num_values(PyObject* self, PyObject* unused);
PyObject* sketch_to_bytes(PyObject* self, PyObject* unused);

PyObject* sketch_get_normal_precision(PyObject* self, void* closure);
PyObject* sketch_get_sparse_precision(PyObject* self, void* closure);

}  // namespace vantorelle::python
