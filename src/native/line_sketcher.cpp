// vantorelle._native.LineSketcher: a LineReader as a Python type. Each call
// runs the reader without the GIL; a sketcher is used by one call at a time.
#include "native/line_sketcher.h"

#include <cstdint>
#include <memory>
#include <string>
#include <optional>
#include <utility>

#include "native/column_builder.h"
#include "native/errors.h"
#include "native/line_reader.h"
#include "python/buffer_view.h"

namespace vantorelle::native {
namespace {

constexpr const char kLineSketcherDoc[] =
    "LineSketcher(normal_precision, sparse_precision, csv_column=None, header=True, *, "
    "delimiter=b',', empty_as_null=False)\n--\n\n"
    "Hashes the lines of byte streams, or one column of CSV records, into a private\n"
    "text-or-bytes sketch. sparse_precision 0 means no sparse phase. csv_column is\n"
    "None (whole lines), an int (0-based position) or bytes (a header name, which\n"
    "needs header=True). delimiter is the CSV field separator (one byte);\n"
    "empty_as_null leaves empty unquoted fields out, counted in `nulls`.\n\n"
    "feed(data) reads the next chunk of the current input (any bytes-like object);\n"
    "a line cut by the chunk's end is completed by the next chunk. end_input() ends\n"
    "the current input. finish() ends it too and returns (serialised sketch, values\n"
    "read, rows skipped for lacking the column).";

struct LineSketcherObject {
  PyObject_HEAD
  LineReader* reader;
  bool busy;  // a call runs without the GIL: no other call may enter
};

LineSketcherObject* as_sketcher(PyObject* self) {
  return reinterpret_cast<LineSketcherObject*>(self);
}

// Raises unless the sketcher is free; marks it busy for the scope.
class Busy {
 public:
  explicit Busy(LineSketcherObject* self) : self_(self->busy ? nullptr : self) {
    if (self_ == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, "LineSketcher is in use by another thread");
    } else {
      self_->busy = true;
    }
  }
  ~Busy() {
    if (self_ != nullptr) self_->busy = false;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  explicit operator bool() const { return self_ != nullptr; }

 private:
  LineSketcherObject* self_;
};

// The message may quote input bytes that are not UTF-8.
PyObject* raise_reader_error(const LineReader& reader) {
  const std::string& error = reader.error();
  PyObject* message = PyUnicode_DecodeUTF8(error.data(), static_cast<Py_ssize_t>(error.size()),
                                           "backslashreplace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
  return nullptr;
}

// The CSV format of the constructor's arguments; false with an exception set
// when they do not make one.
bool csv_format(PyObject* column, bool header, PyObject* delimiter, bool empty_as_null,
                CsvFormat* format) {
  format->header = header;
  format->empty_as_null = empty_as_null;
  if (PyLong_Check(column)) {
    const Py_ssize_t index = PyLong_AsSsize_t(column);
    if (index == -1 && PyErr_Occurred()) return false;
    if (index < 0) {
      PyErr_SetString(PyExc_ValueError, "csv_column must not be negative");
      return false;
    }
    format->column_index = static_cast<std::size_t>(index);
  } else if (PyBytes_Check(column)) {
    if (!header) {
      PyErr_SetString(PyExc_ValueError, "a column name needs header=True");
      return false;
    }
    format->column_name.assign(PyBytes_AS_STRING(column),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(column)));
  } else {
    PyErr_Format(PyExc_TypeError, "csv_column must be None, int or bytes, not %s",
                 Py_TYPE(column)->tp_name);
    return false;
  }
  if (!PyBytes_Check(delimiter) || PyBytes_GET_SIZE(delimiter) != 1) {
    PyErr_SetString(PyExc_ValueError, "delimiter must be one byte");
    return false;
  }
  const char byte = PyBytes_AS_STRING(delimiter)[0];
  if (byte == '"' || byte == '\r' || byte == '\n') {
    PyErr_Format(PyExc_ValueError, "the delimiter cannot be %R: it has a meaning of its own in CSV",
                 delimiter);
    return false;
  }
  format->delimiter = byte;
  return true;
}

PyObject* line_sketcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"normal_precision", "sparse_precision", "csv_column",
                                     "header", "delimiter", "empty_as_null", nullptr};
    int normal_precision = 0;
    int sparse_precision = 0;
    PyObject* column = Py_None;
    int header = 1;
    PyObject* delimiter = nullptr;
    int empty_as_null = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|Op$Op:LineSketcher",
                                     const_cast<char**>(keywords), &normal_precision,
                                     &sparse_precision, &column, &header, &delimiter,
                                     &empty_as_null)) {
      return nullptr;
    }
    std::optional<CsvFormat> csv;
    if (column != Py_None) {
      csv.emplace();
      OwnedRef comma;
      if (delimiter == nullptr) {
        comma.reset(PyBytes_FromStringAndSize(",", 1));
        if (!comma) return nullptr;
        delimiter = comma.get();
      }
      if (!csv_format(column, header != 0, delimiter, empty_as_null != 0, &*csv)) return nullptr;
    } else if (delimiter != nullptr || empty_as_null != 0) {
      PyErr_SetString(PyExc_ValueError, "delimiter and empty_as_null need a csv_column");
      return nullptr;
    }
    Result<HyperLogLogPlusPlus> sketch =
        HyperLogLogPlusPlus::new_string_or_bytes(normal_precision, sparse_precision);
    if (!sketch) {
      raise_error(sketch.error());
      return nullptr;
    }
    auto reader = std::make_unique<LineReader>(std::move(sketch).value(), std::move(csv));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_sketcher(self)->reader = reader.release();
    as_sketcher(self)->busy = false;
    return self;
  });
}

void line_sketcher_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_sketcher(self)->reader;
  type->tp_free(self);
  Py_DECREF(type);
}

// Runs `body` on the sketcher's reader unless another call is using it.
template <class Body>
PyObject* with_reader(PyObject* self_object, Body&& body) {
  return guarded([&]() -> PyObject* {
    LineSketcherObject* self = as_sketcher(self_object);
    Busy busy(self);
    if (!busy) return nullptr;
    return body(*self->reader);
  });
}

PyObject* line_sketcher_feed(PyObject* self, PyObject* data) {
  return with_reader(self, [&](LineReader& reader) -> PyObject* {
    python::BufferView view;
    if (!view.get(data, PyBUF_SIMPLE)) return nullptr;
    bool fed = false;
    {
      WithoutGil released;
      fed = reader.feed(static_cast<const std::uint8_t*>(view->buf),
                        static_cast<std::size_t>(view->len));
    }
    if (!fed) return raise_reader_error(reader);
    Py_RETURN_NONE;
  });
}

PyObject* line_sketcher_end_input(PyObject* self, PyObject*) {
  return with_reader(self, [](LineReader& reader) -> PyObject* {
    if (!reader.end_input()) return raise_reader_error(reader);
    Py_RETURN_NONE;
  });
}

PyObject* line_sketcher_finish(PyObject* self, PyObject*) {
  return with_reader(self, [](LineReader& reader) -> PyObject* {
    if (!reader.end_input() || !reader.flush()) return raise_reader_error(reader);
    Result<Bytes> encoded = reader.sketch().to_bytes();
    if (!encoded) {
      raise_error(encoded.error());
      return nullptr;
    }
    return Py_BuildValue("(y#KK)", reinterpret_cast<const char*>(encoded->data()),
                         static_cast<Py_ssize_t>(encoded->size()),
                         static_cast<unsigned long long>(reader.values()),
                         static_cast<unsigned long long>(reader.short_rows()));
  });
}

PyObject* line_sketcher_values(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_sketcher(self)->reader->values());
}

PyObject* line_sketcher_nulls(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_sketcher(self)->reader->nulls());
}

PyMethodDef line_sketcher_methods[] = {
    {"feed", line_sketcher_feed, METH_O, "feed($self, data, /)\n--\n\nRead the next chunk of the input."},
    {"end_input", line_sketcher_end_input, METH_NOARGS,
     "end_input($self, /)\n--\n\nEnd the current input; its last line needs no newline."},
    {"finish", line_sketcher_finish, METH_NOARGS,
     "finish($self, /)\n--\n\nEnd the input; return (sketch bytes, values read, rows skipped)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef line_sketcher_getset[] = {
    {"values", line_sketcher_values, nullptr, "The number of values read so far.", nullptr},
    {"nulls", line_sketcher_nulls, nullptr,
     "The number of empty CSV fields left out as nulls (with empty_as_null).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot line_sketcher_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(line_sketcher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(line_sketcher_dealloc)},
    {Py_tp_methods, line_sketcher_methods},
    {Py_tp_getset, line_sketcher_getset},
    {Py_tp_doc, const_cast<char*>(kLineSketcherDoc)},
    {0, nullptr},
};

PyType_Spec line_sketcher_spec = {
    "vantorelle._native.LineSketcher",
    sizeof(LineSketcherObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    line_sketcher_slots,
};

}  // namespace

int add_line_sketcher(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &line_sketcher_spec, nullptr);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "LineSketcher", type);
  Py_DECREF(type);
  return added;
}

}  // namespace vantorelle::native
