// vantorelle._native: the C++ side of the vantorelle package. It reads
// columns into private aggregators and hands back serialised sketches; the
// package's Python code applies them to the user's sketches through the
// sketches' own methods.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "native/column_builder.h"
#include "native/count_by.h"
#include "native/arrow_export.h"
#include "native/errors.h"
#include "native/estimators.h"
#include "native/grouped_functions.h"
#include "native/line_sketcher.h"
#include "native/sketch_estimates.h"
#include "python/arguments.h"
#include "python/method_table.h"
#include "python/owned_ref.h"
#include "state/state_description.h"
#include "state/state_validation.h"

namespace vantorelle::native {
namespace {

using python::as_cfunction;

constexpr const char kModuleDoc[] = "Column ingestion and sketch validation for vantorelle.";

constexpr const char kCollectDoc[] =
    "collect(values, family, normal_precision, sparse_precision, threads, table_allowed, /)\n--\n\n"
    "Read a column into a private sketch.\n\n"
    "table_allowed says whether an Arrow struct of one field is a one-column table,\n"
    "counted as its column; when false, a struct type is refused as values.\n"
    "family is 0 (integers), 1 (text or bytes) or 2 (any: the column decides). Returns\n"
    "(input type or None, first value or None, position of the first value,\n"
    "serialised sketch of the other values or None). Raises RefusedValueError naming\n"
    "the position of the first refused value; when a value came before it, the error's\n"
    "`first` is (that value, its position). An Arrow column of 131,072 rows or more is\n"
    "hashed on `threads` threads; the result does not depend on them.";

// Below this many rows a column is read on the calling thread.
constexpr Py_ssize_t kSplitFrom = Py_ssize_t{1} << 17;

// Whether `values` is an Arrow column long enough to split across threads.
// Only objects with a length qualify: a stream read to learn its length
// could not be read again.
bool worth_splitting(PyObject* values) {
  if (!PyObject_HasAttrString(values, "__arrow_c_array__") &&
      !PyObject_HasAttrString(values, "__arrow_c_stream__")) {
    return false;
  }
  if (!PyObject_HasAttrString(values, "__len__")) return false;
  const Py_ssize_t length = PyObject_Length(values);
  if (length < 0) {
    PyErr_Clear();
    return false;
  }
  return length >= kSplitFrom;
}

bool reject_scalar(PyObject* values) {
  if (PyUnicode_Check(values)) {
    PyErr_SetString(PyExc_TypeError,
                    "values must be a column of values, not a single str; wrap it in a list");
    return false;
  }
  if (PyBytes_Check(values)) {
    PyErr_SetString(PyExc_TypeError,
                    "values must be a column of values, not a single bytes object; wrap it in a "
                    "list (or pass memoryview(data) to count its byte values)");
    return false;
  }
  return true;
}

PyObject* collect(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 6) {
      PyErr_SetString(PyExc_TypeError, "collect() takes 6 arguments");
      return nullptr;
    }
    PyObject* values = args[0];
    const long family = PyLong_AsLong(args[1]);
    const int normal_precision = PyLong_AsInt(args[2]);
    const int sparse_precision = PyLong_AsInt(args[3]);
    const long threads = PyLong_AsLong(args[4]);
    const int table_allowed = PyObject_IsTrue(args[5]);
    if (PyErr_Occurred()) return nullptr;
    if (family < 0 || family > 2 || threads < 1) {
      PyErr_SetString(PyExc_ValueError, "family must be 0, 1 or 2 and threads at least 1");
      return nullptr;
    }
    if (!reject_scalar(values)) return nullptr;
    if (threads > 1 && worth_splitting(values)) {
      // None when the split path does not take the column as it is (a type
      // or value it refuses): the reading below reports it.
      python::OwnedRef split(
          collect_split(values, family, normal_precision, sparse_precision, static_cast<int>(threads)));
      if (!split) return nullptr;
      if (split.get() != Py_None) return split.release();
    }
    std::unique_ptr<ColumnBuilder> builder =
        ColumnBuilder::create(static_cast<Family>(family), normal_precision, sparse_precision);
    if (!builder) return nullptr;
    bool taken = false;
    if (!read_buffer_column(values, *builder, &taken)) return nullptr;
    if (!taken && !read_arrow_column(values, *builder, table_allowed != 0, &taken)) return nullptr;
    if (!taken && !read_iterable_column(values, *builder)) return nullptr;
    return builder->finish();
  });
}

constexpr const char kValidateDoc[] =
    "validate(data, /)\n--\n\n"
    "Check that data (bytes) is a sound serialised sketch; raise ValueError naming\n"
    "the offset or value and the reason when it is not.";

// The bytes of a bytes object; false with TypeError for anything else.
bool bytes_argument(PyObject* data, const char* function, ByteView* bytes) {
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "%s() takes bytes", function);
    return false;
  }
  *bytes = ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  return true;
}

PyObject* validate(PyObject*, PyObject* data) {
  return guarded([&]() -> PyObject* {
    ByteView bytes;
    if (!bytes_argument(data, "validate", &bytes)) return nullptr;
    Status checked = validate_bytes(bytes);
    if (checked) Py_RETURN_NONE;
    raise_sketch_error(ErrorClass::Corrupt, checked.error().display());
    return nullptr;
  });
}

constexpr const char kSketchByDoc[] =
    "sketch_by(table, keys, value, ty, normal_precision, sparse_precision, threads, /)\n--\n\n"
    "One serialised sketch per group of a table's rows.\n\n"
    "table has __arrow_c_stream__; keys is a list of column names, value a column name;\n"
    "ty is None, int, str or bytes; sparse_precision 0 means none. Returns (first_rows,\n"
    "sketches): each group's first row (int64) and its sketch (binary), both with\n"
    "__arrow_c_array__, groups in order of first appearance. Null keys form a group;\n"
    "null values are skipped.";

constexpr const char kMergeByDoc[] =
    "merge_by(table, keys, column, threads, /)\n--\n\n"
    "Each group's stored sketches merged in row order, as (first_rows, sketches); a\n"
    "group whose sketches are all null has a null sketch. Every sketch is validated;\n"
    "ValueError names the row of a corrupt or unmergeable one.";

constexpr const char kSketchListsDoc[] =
    "sketch_lists(column, ty, normal_precision, sparse_precision, threads, /)\n--\n\n"
    "One sketch per row of an Arrow list column, of the row's items (binary; a null\n"
    "list gives null).";

constexpr const char kMergeListsDoc[] =
    "merge_lists(column, threads, /)\n--\n\n"
    "Each row's list of stored sketches merged (binary; null items are skipped, a null\n"
    "or empty list gives null).";

constexpr const char kDescribeDoc[] =
    "describe(data, /)\n--\n\n"
    "What a serialised sketch (bytes) holds: a dict of value_type, normal_precision,\n"
    "sparse_precision, form ('sparse' or 'normal'), values and bytes (its size).\n"
    "Raises ValueError as validate() does for unsound bytes.";

PyObject* describe(PyObject*, PyObject* data) {
  return guarded([&]() -> PyObject* {
    ByteView bytes;
    if (!bytes_argument(data, "describe", &bytes)) return nullptr;
    Result<StateDescription> described = describe_state(bytes);
    if (!described) {
      raise_sketch_error(ErrorClass::Corrupt, described.error().display());
      return nullptr;
    }
    const StateDescription& d = *described;
    return Py_BuildValue("{s:s#,s:i,s:i,s:s,s:K,s:n}", "value_type", d.value_type.data(),
                         static_cast<Py_ssize_t>(d.value_type.size()), "normal_precision",
                         d.normal_precision, "sparse_precision", d.sparse_precision, "form",
                         d.sparse ? "sparse" : "normal", "values",
                         static_cast<unsigned long long>(d.num_values), "bytes",
                         static_cast<Py_ssize_t>(d.message_bytes));
  });
}

constexpr const char kCheckPrecisionsDoc[] =
    "check_precisions(normal_precision, sparse_precision, /)\n--\n\n"
    "Raise what HyperLogLogPlusPlus(ty, normal_precision, sparse_precision) raises\n"
    "for these precisions (sparse_precision None: no sparse phase), without making\n"
    "a sketch.";

// A precision as the class converts it, but one past 32 bits is out of
// range like any other (the class's own OverflowError is its contract, not
// the package's).
// `which` is "normal" or "sparse".
bool package_precision(PyObject* object, const char* which, std::int32_t* out) {
  if (python::convert_precision(object, (std::string(which) + "_precision").c_str(), out)) return true;
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  PyErr_Clear();
  python::OwnedRef text(PyObject_Str(object));
  const char* digits = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (digits == nullptr) return false;
  raise_error(SketchError(ErrorKind::InvalidArgument,
                          std::string("Expected ") + which + " precision to fit 32 bits but was " + digits));
  return false;
}

PyObject* check_precisions(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "check_precisions() takes 2 arguments");
      return nullptr;
    }
    std::int32_t normal = 0;
    std::int32_t sparse = 0;  // None: no sparse phase, as the class reads it
    if (!package_precision(args[0], "normal", &normal)) return nullptr;
    if (args[1] != Py_None && !package_precision(args[1], "sparse", &sparse)) return nullptr;
    Status checked = HyperLogLogPlusPlus::check_precisions(normal, sparse);
    if (!checked) {
      raise_error(checked.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef functions[] = {
    {"collect", as_cfunction(collect), METH_FASTCALL, kCollectDoc},
    {"validate", validate, METH_O, kValidateDoc},
    {"estimates", as_cfunction(estimates), METH_VARARGS | METH_KEYWORDS, kEstimatesDoc},
    {"sketch_by", as_cfunction(sketch_by), METH_FASTCALL, kSketchByDoc},
    {"merge_by", as_cfunction(merge_by), METH_FASTCALL, kMergeByDoc},
    {"count_by", as_cfunction(count_by), METH_FASTCALL, kCountByDoc},
    {"sketch_lists", as_cfunction(sketch_lists), METH_FASTCALL, kSketchListsDoc},
    {"merge_lists", as_cfunction(merge_lists), METH_FASTCALL, kMergeListsDoc},
    {"describe", describe, METH_O, kDescribeDoc},
    {"check_precisions", as_cfunction(check_precisions), METH_FASTCALL, kCheckPrecisionsDoc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (add_error_classes(module) < 0) return -1;
  if (PyModule_AddStringConstant(module, "__version__", VANTORELLE_VERSION) < 0) return -1;
  if (PyModule_AddIntConstant(module, "DEFAULT_NORMAL_PRECISION",
                              HyperLogLogPlusPlus::kDefaultNormalPrecision) < 0 ||
      PyModule_AddIntConstant(module, "DEFAULT_SPARSE_PRECISION",
                              HyperLogLogPlusPlus::kDefaultSparsePrecision) < 0) {
    return -1;
  }
  if (PyModule_AddFunctions(module, estimator_functions) < 0) return -1;
  if (add_line_sketcher(module) < 0) return -1;
  return add_arrow_export_type(module);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vantorelle._native", kModuleDoc, 0, functions, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vantorelle::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&vantorelle::native::module_def); }
