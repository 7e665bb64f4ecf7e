// count_by of vantorelle._native: a distinct count per group of a table's
// rows, from the martingale counter of hll/martingale_counts.h; no sketch is
// written. Arguments are read and columns checked with the GIL held; the
// grouping, hashing and counting run without it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hll/estimate_rounding.h"
#include "engine/grouped_aggregation.h"
#include "hll/martingale_counts.h"
#include "native/arrow_export.h"
#include "native/arrow_table.h"
#include "native/column_builder.h"
#include "native/count_by.h"
#include "native/errors.h"
#include "native/engine_errors.h"
#include "native/grouped_functions.h"

namespace vantorelle::native {
namespace {

std::int64_t floor_count(double value) { return value <= 0.0 ? 0 : saturate_to_int64(std::floor(value)); }
std::int64_t ceil_count(double value) {
  if (std::isinf(value)) return INT64_MAX;
  return value <= 0.0 ? 0 : saturate_to_int64(std::ceil(value));
}

struct Columns {
  std::vector<std::int64_t> counts;
  std::vector<std::int64_t> lower;
  std::vector<std::int64_t> upper;
};

Columns columns_of(const std::vector<MartingaleCount>& counts, std::int32_t sparse_precision,
                   std::optional<double> confidence) {
  Columns out;
  out.counts.reserve(counts.size());
  for (const MartingaleCount& count : counts) {
    out.counts.push_back(round_to_int64(count.estimate));
    if (!confidence) continue;
    const CountBounds bounds = martingale_bounds(count, sparse_precision, *confidence);
    out.lower.push_back(floor_count(bounds.lower));
    out.upper.push_back(ceil_count(bounds.upper));
  }
  return out;
}

PyObject* count_by_impl(PyObject* module, PyObject* const* args) {
  std::vector<std::string> key_names;
  std::string value_name;
  std::optional<InputType> ty;
  if (!read_names(args[1], &key_names) || !read_name(args[2], "value", &value_name) || !read_ty(args[3], &ty)) {
    return nullptr;
  }
  const int normal_precision = PyLong_AsInt(args[4]);
  const int sparse_precision = PyLong_AsInt(args[5]);
  int threads = 1;
  if (PyErr_Occurred() || !read_threads(args[6], &threads)) return nullptr;
  std::optional<double> confidence;
  if (args[7] != Py_None) {
    const double value = PyFloat_AsDouble(args[7]);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(value > 0.0 && value < 1.0)) {
      raise_sketch_error_format(ErrorClass::InvalidInput, "confidence must lie strictly between 0 and 1, not %R",
                                args[7]);
      return nullptr;
    }
    confidence = value;
  }

  GroupedColumns table;
  if (!read_grouped_columns(args[0], key_names, value_name, &table)) return nullptr;
  std::optional<Result<engine::GroupedCounts>> counted;
  {
    WithoutGil released;
    counted.emplace(engine::count_groups(table.keys, table.values, ty, normal_precision, sparse_precision,
                                         threads));
  }
  if (!*counted) {
    raise_engine_error(counted->error());
    return nullptr;
  }
  Columns columns = columns_of((*counted)->counts, (*counted)->sparse_precision, confidence);
  PyObject* first_rows = export_int64(module, std::move((*counted)->first_rows));
  if (first_rows == nullptr) return nullptr;
  PyObject* count_column = export_int64(module, std::move(columns.counts));
  if (count_column == nullptr) {
    Py_DECREF(first_rows);
    return nullptr;
  }
  if (!confidence) return Py_BuildValue("(NNOO)", first_rows, count_column, Py_None, Py_None);
  PyObject* lower = export_int64(module, std::move(columns.lower));
  PyObject* upper = lower ? export_int64(module, std::move(columns.upper)) : nullptr;
  if (upper == nullptr) {
    Py_XDECREF(lower);
    Py_DECREF(first_rows);
    Py_DECREF(count_column);
    return nullptr;
  }
  return Py_BuildValue("(NNNN)", first_rows, count_column, lower, upper);
}

}  // namespace

const char kCountByDoc[] =
    "count_by(table, keys, value, ty, normal_precision, sparse_precision, threads, confidence, /)\n--\n\n"
    "The distinct count of each group of a table's rows, from a martingale estimate kept\n"
    "per group in one pass (no sketch written). Arguments as sketch_by's; confidence None\n"
    "or in (0, 1). Returns (first_rows, counts, lower, upper), int64 columns with\n"
    "__arrow_c_array__ (lower and upper None without a confidence).";

PyObject* count_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 8) {
      PyErr_Format(PyExc_TypeError, "count_by() takes 8 arguments (%zd given)", nargs);
      return nullptr;
    }
    return count_by_impl(module, args);
  });
}

}  // namespace vantorelle::native
