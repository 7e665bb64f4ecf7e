// The grouped functions of vantorelle._native (see grouped_functions.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "hll/hyperloglogplusplus.h"
#include "native/arrow_table.h"

namespace vantorelle::native {

// The argument readers of the grouped functions; false with an exception set.
bool read_name(PyObject* object, const char* what, std::string* out);
bool read_names(PyObject* object, std::vector<std::string>* out);
bool read_threads(PyObject* object, int* out);
// None (the column decides), or LONG / STRING as the constructor reads `ty`.
bool read_ty(PyObject* ty, std::optional<InputType>* out);

// The key and value columns of a grouped call's table, read with the GIL
// held; false with an exception set.
struct GroupedColumns {
  ArrowTable table;
  std::vector<engine::ColumnChunks> keys;
  engine::ColumnChunks values;
};
bool read_grouped_columns(PyObject* table, const std::vector<std::string>& key_names, const std::string& value_name,
                          GroupedColumns* out);

PyObject* sketch_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* merge_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* sketch_lists(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* merge_lists(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// collect() of an Arrow column on several threads, its arguments checked
// (split_column.cpp).
PyObject* collect_split(PyObject* values, long family, int normal_precision, int sparse_precision, int threads);

}  // namespace vantorelle::native
