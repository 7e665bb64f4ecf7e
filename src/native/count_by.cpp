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
#include "hll/grouped_sketches.h"
#include "hll/martingale_counts.h"
#include "native/arrow_export.h"
#include "native/arrow_table.h"
#include "native/column_builder.h"
#include "native/count_by.h"
#include "native/errors.h"
#include "native/group_keys.h"
#include "native/value_codes.h"

namespace vantorelle::native {
namespace {

bool read_name(PyObject* object, const char* what, std::string* out) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a column name (str), not %s", what, Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;
  out->assign(text, static_cast<std::size_t>(size));
  return true;
}

bool read_names(PyObject* object, std::vector<std::string>* out) {
  if (!PyList_Check(object) || PyList_GET_SIZE(object) == 0) {
    PyErr_SetString(PyExc_TypeError, "keys must be a non-empty list of column names");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
    std::string name;
    if (!read_name(PyList_GET_ITEM(object, i), "each key", &name)) return false;
    out->push_back(std::move(name));
  }
  return true;
}

// None (the column decides), or int / str / bytes as the constructor reads
// them.
bool read_ty(PyObject* ty, std::optional<InputType>* out) {
  if (ty == Py_None) return true;
  if (ty == reinterpret_cast<PyObject*>(&PyLong_Type)) {
    *out = InputType::LONG;
    return true;
  }
  if (ty == reinterpret_cast<PyObject*>(&PyUnicode_Type) || ty == reinterpret_cast<PyObject*>(&PyBytes_Type)) {
    *out = InputType::STRING;
    return true;
  }
  PyErr_SetString(PyExc_TypeError, "Unsupported type for HyperLogLogPlusPlus. Use 'str', 'int', or 'bytes'.");
  return false;
}

bool is_long(InputType type) { return type == InputType::LONG; }

// The aggregator's own refusal of `column_type` in a sketch of `family`.
std::string refusal_text(InputType family, InputType column_type) {
  Result<HyperLogLogPlusPlus> sketch =
      is_long(family) ? HyperLogLogPlusPlus::new_long(15, 20) : HyperLogLogPlusPlus::new_string_or_bytes(15, 20);
  if (!sketch) return kUnsupportedType;
  Status added = sketch->add_hashes(column_type, {});
  return added ? std::string(kUnsupportedType) : added.error().message();
}

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
  const int threads = PyLong_AsInt(args[6]);
  if (PyErr_Occurred()) return nullptr;
  if (threads < 1) {
    raise_sketch_error_format(ErrorClass::InvalidInput, "threads must be at least 1, not %d", threads);
    return nullptr;
  }
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

  ArrowTable table;
  if (!table.read(args[0])) return nullptr;
  std::vector<ColumnChunks> keys(key_names.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (!table.column(key_names[i], &keys[i])) return nullptr;
  }
  ColumnChunks values;
  if (!table.column(value_name, &values)) return nullptr;
  InputType column_type;
  if (!check_key_columns(keys) || !check_value_column(values, &column_type)) return nullptr;
  const InputType family = ty ? *ty : column_type;
  // The builder codes the values exactly as sketch_by does.
  Result<GroupedSketchBuilder> builder = GroupedSketchBuilder::create(family, normal_precision, sparse_precision);
  if (!builder) {
    raise_error(builder.error());
    return nullptr;
  }
  Result<MartingaleCounter> counter = MartingaleCounter::create(normal_precision, sparse_precision);
  if (!counter) {
    raise_error(counter.error());
    return nullptr;
  }
  if (is_long(family) != is_long(column_type) && first_value_row(values) >= 0) {
    raise_sketch_error_format(ErrorClass::Refused, "column '%s', row %lld: %s", value_name.c_str(),
                              static_cast<long long>(first_value_row(values)),
                              refusal_text(family, column_type).c_str());
    return nullptr;
  }

  Grouping grouping;
  ValueCodes coded;
  std::vector<MartingaleCount> counts;
  {
    WithoutGil released;
    grouping = group_rows(keys, table.rows(), threads);
    if (grouping.malformed_row < 0) {
      coded = code_values(values, *builder, threads);
      if (coded.refused_row < 0) {
        const auto group_count = static_cast<std::uint32_t>(grouping.first_rows.size());
        std::vector<std::uint32_t> group_of_row = std::move(grouping.group_of_row);
        counts = counter->count(group_of_row, coded.codes, group_count, threads);
      }
    }
  }
  if (grouping.malformed_row >= 0) {
    raise_sketch_error_format(ErrorClass::InvalidInput,
                              "column '%s', row %lld: malformed Arrow array: dictionary index out of range",
                              key_names[grouping.malformed_column].c_str(),
                              static_cast<long long>(grouping.malformed_row));
    return nullptr;
  }
  if (coded.refused_row >= 0) {
    if (coded.malformed) {
      raise_sketch_error_format(ErrorClass::InvalidInput,
                                "column '%s', row %lld: malformed Arrow array: dictionary index out of range",
                                value_name.c_str(), static_cast<long long>(coded.refused_row));
    } else {
      raise_sketch_error_format(ErrorClass::Refused,
                                "column '%s', row %lld: %s (an unsigned value above 2^63 - 1)", value_name.c_str(),
                                static_cast<long long>(coded.refused_row), kUnsupportedType);
    }
    return nullptr;
  }
  Columns columns = columns_of(counts, counter->sparse_precision(), confidence);
  PyObject* first_rows = export_int64(module, std::move(grouping.first_rows));
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
