// The grouped functions of vantorelle._native: sketches per group of a table
// (sketch_by), merged stored sketches per group (merge_by), and the same for
// the rows of a list column (sketch_lists, merge_lists). Arguments are read
// and columns checked with the GIL held; the grouping, hashing, sorting and
// encoding run without it, on the requested number of threads, and give the
// same bytes for any number of them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/arrow_type_names.h"
#include "engine/arrow_values.h"
#include "engine/grouped_aggregation.h"
#include "hll/grouped_sketches.h"
#include "native/arrow_export.h"
#include "native/arrow_table.h"
#include "native/column_builder.h"
#include "native/engine_errors.h"
#include "native/errors.h"
#include "native/grouped_functions.h"

namespace vantorelle::native {

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

bool read_threads(PyObject* object, int* out) {
  const long threads = PyLong_AsLong(object);
  if (threads == -1 && PyErr_Occurred()) return false;
  if (threads < 1 || threads > 1024) {
    PyErr_Format(PyExc_ValueError, "threads must be between 1 and 1024, got %ld", threads);
    return false;
  }
  *out = static_cast<int>(threads);
  return true;
}

// The family `ty` asks for: none (the column decides), LONG or STRING (text
// or bytes), as the constructor reads it.
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

bool read_grouped_columns(PyObject* table, const std::vector<std::string>& key_names, const std::string& value_name,
                          GroupedColumns* out) {
  if (!out->table.read(table)) return false;
  out->keys.resize(key_names.size());
  for (std::size_t i = 0; i < key_names.size(); ++i) {
    if (!out->table.column(key_names[i], &out->keys[i])) return false;
  }
  return out->table.column(value_name, &out->values);
}

namespace {

using engine::arrow_type_in_words;
using engine::bit_set;
using engine::load;

PyObject* pair(PyObject* first, PyObject* second) {
  if (first == nullptr || second == nullptr) {
    Py_XDECREF(first);
    Py_XDECREF(second);
    return nullptr;
  }
  return Py_BuildValue("(NN)", first, second);
}

// ---------------------------------------------------------------- sketch_by

PyObject* sketch_by_impl(PyObject* module, PyObject* const* args) {
  std::vector<std::string> key_names;
  std::string value_name;
  std::optional<InputType> ty;
  int threads = 1;
  if (!read_names(args[1], &key_names) || !read_name(args[2], "value", &value_name) ||
      !read_ty(args[3], &ty)) {
    return nullptr;
  }
  const int normal_precision = PyLong_AsInt(args[4]);
  const int sparse_precision = PyLong_AsInt(args[5]);
  if (PyErr_Occurred() || !read_threads(args[6], &threads)) return nullptr;

  GroupedColumns columns;
  if (!read_grouped_columns(args[0], key_names, value_name, &columns)) return nullptr;
  std::optional<Result<engine::GroupedSketches>> built;
  {
    WithoutGil released;
    built.emplace(engine::sketch_groups(columns.keys, columns.values, ty, normal_precision, sparse_precision,
                                        threads));
  }
  if (!*built) {
    raise_engine_error(built->error());
    return nullptr;
  }
  return pair(export_int64(module, std::move((*built)->first_rows)),
              export_binary(module, std::move((*built)->sketches)));
}

// ---------------------------------------------------------------- merge_by

// Validates and merges without the GIL; the result, or an exception set
// naming the row.
std::optional<SerializedSketches> merge_stored(const engine::StoredSketches& stored,
                                               std::span<const std::uint32_t> groups, std::uint32_t group_count,
                                               int threads, const std::string& name, const char* where) {
  std::optional<Result<SerializedSketches>> merged;
  {
    WithoutGil released;
    merged.emplace(engine::merge_stored(stored, groups, group_count, threads, name, where,
                                        [](std::int64_t) { return std::string(); }));
  }
  if (!*merged) {
    raise_engine_error(merged->error());
    return std::nullopt;
  }
  return std::move(**merged);
}

PyObject* merge_by_impl(PyObject* module, PyObject* const* args) {
  std::vector<std::string> key_names;
  std::string column_name;
  int threads = 1;
  if (!read_names(args[1], &key_names) || !read_name(args[2], "column", &column_name) ||
      !read_threads(args[3], &threads)) {
    return nullptr;
  }
  ArrowTable table;
  if (!table.read(args[0])) return nullptr;
  std::vector<ColumnChunks> keys(key_names.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (!table.column(key_names[i], &keys[i])) return nullptr;
  }
  ColumnChunks column;
  if (!table.column(column_name, &column)) return nullptr;
  std::optional<Result<engine::GroupedSketches>> merged;
  {
    WithoutGil released;
    merged.emplace(engine::merge_stored_groups(keys, column, threads));
  }
  if (!*merged) {
    raise_engine_error(merged->error());
    return nullptr;
  }
  return pair(export_int64(module, std::move((*merged)->first_rows)),
              export_binary(module, std::move((*merged)->sketches)));
}

// ---------------------------------------------------------------- lists

// A list column's rows and its items as a column of their own.
struct ListColumn {
  ArrowColumn source;
  ColumnChunks items;
  // Per list row: whether it is present, and its items' range in `items`.
  std::vector<std::uint8_t> present;
  std::vector<std::int64_t> item_begin;
  std::vector<std::int64_t> item_end;
};

bool read_list_column(PyObject* object, ListColumn* out) {
  if (!out->source.read(object)) return false;
  const ColumnChunks& lists = out->source.chunks();
  const std::string_view format = lists.schema->format ? lists.schema->format : "";
  const bool large = format == "+L";
  if ((format != "+l" && !large) || lists.schema->n_children != 1) {
    PyErr_Format(PyExc_TypeError, "expected a column of lists, got %s values",
                 arrow_type_in_words(*lists.schema).c_str());
    return false;
  }
  out->items.schema = lists.schema->children[0];
  out->items.name = lists.name.empty() ? "item" : lists.name;
  for (std::size_t b = 0; b < lists.chunks.size(); ++b) {
    const ArrowArray& array = lists.chunks[b];
    if (array.n_buffers != 2 || array.n_children != 1 || array.buffers == nullptr || array.buffers[1] == nullptr) {
      PyErr_SetString(PyExc_ValueError, "malformed Arrow list array: its buffers do not match its type");
      return false;
    }
    ArrowArray child = *array.children[0];
    child.release = nullptr;
    const std::int64_t base = out->items.rows;
    out->items.starts.push_back(base);
    out->items.chunks.push_back(child);
    out->items.rows += child.length;
    for (std::int64_t row = 0; row < array.length; ++row) {
      const std::int64_t at = array.offset + row;
      const bool valid = array.null_count == 0 || array.buffers[0] == nullptr || bit_set(array.buffers[0], at);
      std::int64_t begin = large ? load<std::int64_t>(array.buffers[1], at) : load<std::int32_t>(array.buffers[1], at);
      std::int64_t end = large ? load<std::int64_t>(array.buffers[1], at + 1)
                               : load<std::int32_t>(array.buffers[1], at + 1);
      if (valid && (begin < 0 || end < begin || end > child.length)) {
        PyErr_SetString(PyExc_ValueError, "malformed Arrow list array: an offset lies outside its items");
        return false;
      }
      if (!valid) begin = end = 0;
      out->present.push_back(valid ? 1 : 0);
      out->item_begin.push_back(base + begin);
      out->item_end.push_back(base + end);
    }
  }
  return true;
}

// The list row of each item (items outside every present list get no
// value), with `codes` reordered to list order.
void items_by_list(const ListColumn& lists, Codes& codes, MappedVector<std::uint32_t>* groups) {
  Codes ordered;
  for (std::size_t row = 0; row < lists.present.size(); ++row) {
    for (std::int64_t k = lists.item_begin[row]; k < lists.item_end[row]; ++k) {
      groups->push_back(static_cast<std::uint32_t>(row));
      ordered.push_back(codes[static_cast<std::size_t>(k)]);
    }
  }
  codes.swap(ordered);
}

PyObject* sketch_lists_impl(PyObject* module, PyObject* const* args) {
  std::optional<InputType> ty;
  int threads = 1;
  if (!read_ty(args[1], &ty)) return nullptr;
  const int normal_precision = PyLong_AsInt(args[2]);
  const int sparse_precision = PyLong_AsInt(args[3]);
  if (PyErr_Occurred() || !read_threads(args[4], &threads)) return nullptr;
  ListColumn lists;
  if (!read_list_column(args[0], &lists)) return nullptr;
  Result<engine::ValueColumnFormat> format = engine::check_value_column(lists.items);
  if (!format) {
    raise_engine_error(format.error());
    return nullptr;
  }
  const InputType family = ty ? *ty : engine::input_type_of(format->values.kind);
  Result<GroupedSketchBuilder> builder = GroupedSketchBuilder::create(family, normal_precision, sparse_precision);
  if (!builder) {
    raise_error(builder.error());
    return nullptr;
  }
  std::optional<Result<Codes>> coded;
  std::optional<Result<SerializedSketches>> built;
  {
    WithoutGil released;
    coded.emplace(engine::code_column(lists.items, *format, family, *builder, threads, "item",
                                      [](std::int64_t) { return std::string(); }));
    if (*coded) {
      MappedVector<std::uint32_t> groups;
      items_by_list(lists, **coded, &groups);
      built.emplace(builder->build_consuming(groups, **coded, static_cast<std::uint32_t>(lists.present.size()),
                                             threads, lists.present));
    }
  }
  if (!*coded) {
    raise_engine_error(coded->error());
    return nullptr;
  }
  if (!*built) {
    raise_error((*built).error());
    return nullptr;
  }
  return export_binary(module, std::move(**built));
}

PyObject* merge_lists_impl(PyObject* module, PyObject* const* args) {
  int threads = 1;
  if (!read_threads(args[1], &threads)) return nullptr;
  ListColumn lists;
  if (!read_list_column(args[0], &lists)) return nullptr;
  if (Status checked = engine::check_sketch_column(lists.items); !checked) {
    raise_engine_error(checked.error());
    return nullptr;
  }
  engine::StoredSketches stored;
  std::vector<std::uint32_t> groups;
  {
    WithoutGil released;
    const engine::StoredSketches all = engine::stored_sketches(lists.items);
    // Items in list order, each with its list row; items outside every list
    // are left out.
    std::vector<std::int64_t> list_of_item(static_cast<std::size_t>(lists.items.rows), -1);
    for (std::size_t row = 0; row < lists.present.size(); ++row) {
      for (std::int64_t k = lists.item_begin[row]; k < lists.item_end[row]; ++k) {
        list_of_item[static_cast<std::size_t>(k)] = static_cast<std::int64_t>(row);
      }
    }
    for (std::size_t i = 0; i < all.sketches.size(); ++i) {
      const std::int64_t row = list_of_item[static_cast<std::size_t>(all.rows[i])];
      if (row < 0) continue;
      stored.sketches.push_back(all.sketches[i]);
      stored.rows.push_back(row);
      groups.push_back(static_cast<std::uint32_t>(row));
    }
  }
  std::optional<SerializedSketches> merged = merge_stored(
      stored, groups, static_cast<std::uint32_t>(lists.present.size()), threads, lists.items.name, "list row");
  if (!merged) return nullptr;
  return export_binary(module, std::move(*merged));
}

bool check_arguments(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
  return false;
}

}  // namespace

PyObject* sketch_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!check_arguments("sketch_by", nargs, 7)) return nullptr;
    return sketch_by_impl(module, args);
  });
}

PyObject* merge_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!check_arguments("merge_by", nargs, 4)) return nullptr;
    return merge_by_impl(module, args);
  });
}

PyObject* sketch_lists(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!check_arguments("sketch_lists", nargs, 5)) return nullptr;
    return sketch_lists_impl(module, args);
  });
}

PyObject* merge_lists(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!check_arguments("merge_lists", nargs, 2)) return nullptr;
    return merge_lists_impl(module, args);
  });
}

}  // namespace vantorelle::native
