#include "native/arrow_export.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "engine/arrow_abi.h"
#include "python/owned_ref.h"

namespace vantorelle::native {
namespace {

using python::OwnedRef;

// The buffers of one exported column, shared by every array exported from it.
struct ExportedColumn {
  const char* format = "l";
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::vector<std::uint8_t> validity;  // empty: no nulls
  std::vector<std::int64_t> int64_values;
  std::unique_ptr<std::int64_t[]> written_values;  // new_int64_column's
  std::vector<std::int32_t> offsets;
  std::vector<std::int64_t> large_offsets;  // large_binary, past 2 GiB of data
  SketchBytes data;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::int64_t n_buffers = 2;
};

// A non-empty data buffer for empty columns: consumers may refuse null ones.
constexpr std::int64_t kNoValues[1] = {0};

void release_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_array(ArrowArray* array) {
  delete static_cast<std::shared_ptr<const ExportedColumn>*>(array->private_data);
  array->release = nullptr;
}

void schema_capsule_destructor(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema == nullptr) {
    PyErr_Clear();
    return;
  }
  if (schema->release) schema->release(schema);
  delete schema;
}

void array_capsule_destructor(PyObject* capsule) {
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (array == nullptr) {
    PyErr_Clear();
    return;
  }
  if (array->release) array->release(array);
  delete array;
}

struct ExportObject {
  PyObject_HEAD
  std::shared_ptr<const ExportedColumn>* column;
};

ExportObject* as_export(PyObject* self) { return reinterpret_cast<ExportObject*>(self); }

PyObject* export_arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__", const_cast<char**>(keywords),
                                   &requested)) {
    return nullptr;
  }
  // A requested schema is a hint; the column is exported as it is.
  const std::shared_ptr<const ExportedColumn>& column = *as_export(self)->column;
  auto* schema = new (std::nothrow) ArrowSchema{};
  if (schema == nullptr) return PyErr_NoMemory();
  schema->format = column->format;
  schema->name = "";
  schema->flags = ARROW_FLAG_NULLABLE;
  schema->release = release_schema;
  OwnedRef schema_capsule(PyCapsule_New(schema, "arrow_schema", schema_capsule_destructor));
  if (!schema_capsule) {
    delete schema;
    return nullptr;
  }
  auto* array = new (std::nothrow) ArrowArray{};
  if (array == nullptr) return PyErr_NoMemory();
  array->length = column->length;
  array->null_count = column->null_count;
  array->n_buffers = column->n_buffers;
  array->buffers = const_cast<const void**>(column->buffers);
  array->private_data = new std::shared_ptr<const ExportedColumn>(column);
  array->release = release_array;
  OwnedRef array_capsule(PyCapsule_New(array, "arrow_array", array_capsule_destructor));
  if (!array_capsule) {
    release_array(array);
    delete array;
    return nullptr;
  }
  return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
}

// The values of an int64 column; the other columns are no buffer.
int export_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  const ExportedColumn& column = **as_export(self)->column;
  if (std::strcmp(column.format, "l") != 0 || column.null_count != 0) {
    PyErr_SetString(PyExc_BufferError, "only a column of int64 values without nulls is a buffer");
    view->obj = nullptr;
    return -1;
  }
  void* values = const_cast<void*>(column.buffers[1]);
  return PyBuffer_FillInfo(view, self, values, static_cast<Py_ssize_t>(column.length * 8), 0, flags);
}

Py_ssize_t export_length(PyObject* self) {
  return static_cast<Py_ssize_t>((*as_export(self)->column)->length);
}

void export_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_export(self)->column;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef export_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(export_arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\n"
     "The column as a (schema, array) pair of Arrow PyCapsules."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot export_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(export_dealloc)},
    {Py_tp_methods, export_methods},
    {Py_sq_length, reinterpret_cast<void*>(export_length)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(export_getbuffer)},
    {Py_tp_doc, const_cast<char*>("A column of results, read through the Arrow PyCapsule interface.")},
    {0, nullptr},
};

PyType_Spec export_spec = {
    "vantorelle._native.ArrowExport",
    sizeof(ExportObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    export_slots,
};

PyObject* wrap(PyObject* module, std::shared_ptr<const ExportedColumn> column) {
  OwnedRef type(PyObject_GetAttrString(module, "ArrowExport"));
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject* object = tp->tp_alloc(tp, 0);
  if (object == nullptr) return nullptr;
  as_export(object)->column = new std::shared_ptr<const ExportedColumn>(std::move(column));
  return object;
}

}  // namespace

int add_arrow_export_type(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &export_spec, nullptr);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "ArrowExport", type);
  Py_DECREF(type);
  return added;
}

PyObject* export_int64(PyObject* module, std::vector<std::int64_t> values) {
  auto column = std::make_shared<ExportedColumn>();
  column->format = "l";
  column->length = static_cast<std::int64_t>(values.size());
  column->int64_values = std::move(values);
  column->n_buffers = 2;
  column->buffers[1] = column->int64_values.empty() ? kNoValues : column->int64_values.data();
  return wrap(module, std::move(column));
}

PyObject* new_int64_column(PyObject* module, std::size_t length, std::int64_t** values) {
  auto column = std::make_shared<ExportedColumn>();
  column->format = "l";
  column->length = static_cast<std::int64_t>(length);
  column->n_buffers = 2;
  if (length == 0) {
    column->buffers[1] = kNoValues;
  } else {
    // Not zeroed: every value is written before the column is seen.
    column->written_values = std::make_unique_for_overwrite<std::int64_t[]>(length);
    column->buffers[1] = column->written_values.get();
  }
  *values = column->written_values.get();
  return wrap(module, std::move(column));
}

PyObject* export_binary(PyObject* module, SerializedSketches sketches) {
  auto column = std::make_shared<ExportedColumn>();
  const std::size_t n = sketches.size();
  column->length = static_cast<std::int64_t>(n);
  if (sketches.data.size() > static_cast<std::size_t>(INT32_MAX)) {
    // binary's 32-bit offsets cannot reach past 2 GiB: large_binary's can.
    column->format = "Z";
    column->large_offsets = std::move(sketches.offsets);
  } else {
    column->format = "z";
    column->offsets.resize(n + 1);
    for (std::size_t i = 0; i <= n; ++i) column->offsets[i] = static_cast<std::int32_t>(sketches.offsets[i]);
  }
  if (!sketches.present.empty()) {
    column->validity.assign((n + 7) / 8, 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (sketches.present[i]) {
        column->validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
      } else {
        ++column->null_count;
      }
    }
  }
  column->data = std::move(sketches.data);
  column->n_buffers = 3;
  column->buffers[0] = column->null_count != 0 ? column->validity.data() : nullptr;
  column->buffers[1] = column->large_offsets.empty() ? static_cast<const void*>(column->offsets.data())
                                                     : static_cast<const void*>(column->large_offsets.data());
  column->buffers[2] = column->data.empty() ? static_cast<const void*>(kNoValues) : column->data.data();
  return wrap(module, std::move(column));
}

}  // namespace vantorelle::native
