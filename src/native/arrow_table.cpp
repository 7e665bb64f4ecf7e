#include "native/arrow_table.h"
#include "native/errors.h"

#include <string_view>

#include "python/owned_ref.h"

namespace vantorelle::native {
namespace {

using python::OwnedRef;

// A child of a batch, indexed from the batch's first row.
ArrowArray child_view(const ArrowArray& batch, std::int64_t child) {
  ArrowArray view = *batch.children[child];
  view.offset += batch.offset;
  view.length = batch.length;
  view.release = nullptr;
  return view;
}

ArrowArray whole_view(const ArrowArray& array) {
  ArrowArray view = array;
  view.release = nullptr;
  return view;
}

}  // namespace

bool read_stream_batches(PyObject* capsule, OwnedSchema& schema,
                         std::vector<std::unique_ptr<OwnedArray>>& batches) {
  OwnedStream stream;
  if (!move_from_capsule(capsule, "arrow_array_stream", &stream.stream)) return false;
  if (int code = stream.stream.get_schema(&stream.stream, &schema.schema)) return stream_failed(stream.stream, code);
  while (true) {
    auto batch = std::make_unique<OwnedArray>();
    if (int code = stream.stream.get_next(&stream.stream, &batch->array)) return stream_failed(stream.stream, code);
    if (batch->array.release == nullptr) return true;  // end of stream
    if (batch->array.length < 0 || batch->array.offset < 0) {
      PyErr_SetString(PyExc_ValueError, "malformed Arrow array: negative length or offset");
      return false;
    }
    batches.push_back(std::move(batch));
  }
}

bool ArrowTable::read(PyObject* table) {
  OwnedRef capsule;
  if (!call_if_present(table, "__arrow_c_stream__", &capsule)) return false;
  if (!capsule) {
    PyErr_Format(PyExc_TypeError,
                 "expected a table (an object with __arrow_c_stream__, such as a pyarrow Table, "
                 "a pandas or polars DataFrame or a DuckDB relation), got %s",
                 Py_TYPE(table)->tp_name);
    return false;
  }
  if (!read_stream_batches(capsule.get(), schema_, batches_)) return false;
  if (std::string_view(schema_.schema.format ? schema_.schema.format : "") != "+s") {
    PyErr_SetString(PyExc_TypeError, "expected a table: its Arrow stream does not yield record batches");
    return false;
  }
  for (const auto& batch : batches_) {
    if (batch->array.n_children != schema_.schema.n_children ||
        (batch->array.n_children > 0 && batch->array.children == nullptr)) {
      PyErr_SetString(PyExc_ValueError, "malformed Arrow stream: a batch does not match its schema");
      return false;
    }
    for (std::int64_t c = 0; c < batch->array.n_children; ++c) {
      const ArrowArray* column = batch->array.children[c];
      if (column == nullptr || batch->array.offset > column->length ||
          batch->array.length > column->length - batch->array.offset) {
        PyErr_SetString(PyExc_ValueError, "malformed Arrow stream: a column is shorter than its batch");
        return false;
      }
    }
    rows_ += batch->array.length;
  }
  return true;
}

bool ArrowTable::column(const std::string& name, ColumnChunks* out) const {
  const ArrowSchema& schema = schema_.schema;
  for (std::int64_t c = 0; c < schema.n_children; ++c) {
    const char* own = schema.children[c]->name;
    if (own == nullptr || name != own) continue;
    out->schema = schema.children[c];
    out->name = name;
    out->rows = 0;
    for (const auto& batch : batches_) {
      out->starts.push_back(out->rows);
      out->chunks.push_back(child_view(batch->array, c));
      out->rows += batch->array.length;
    }
    return true;
  }
  std::string names;
  for (std::int64_t c = 0; c < schema.n_children; ++c) {
    if (c > 0) names += ", ";
    names += schema.children[c]->name ? schema.children[c]->name : "";
  }
  raise_sketch_error_format(ErrorClass::InvalidInput, "no column named '%s' (columns: %s)", name.c_str(), names.c_str());
  return false;
}

bool ArrowColumn::read(PyObject* values) {
  OwnedRef capsule;
  if (!call_if_present(values, "__arrow_c_stream__", &capsule)) return false;
  if (capsule) {
    if (!read_stream_batches(capsule.get(), schema_, arrays_)) return false;
  } else {
    OwnedRef pair;
    if (!call_if_present(values, "__arrow_c_array__", &pair)) return false;
    if (!pair) {
      PyErr_Format(PyExc_TypeError,
                   "expected an Arrow column (an object with __arrow_c_array__ or "
                   "__arrow_c_stream__), got %s",
                   Py_TYPE(values)->tp_name);
      return false;
    }
    auto array = std::make_unique<OwnedArray>();
    if (!move_from_array_pair(pair.get(), &schema_.schema, &array->array)) return false;
    arrays_.push_back(std::move(array));
  }
  chunks_.schema = &schema_.schema;
  chunks_.name = schema_.schema.name ? schema_.schema.name : "";
  for (const auto& array : arrays_) {
    chunks_.starts.push_back(chunks_.rows);
    chunks_.chunks.push_back(whole_view(array->array));
    chunks_.rows += array->array.length;
  }
  return true;
}

}  // namespace vantorelle::native
