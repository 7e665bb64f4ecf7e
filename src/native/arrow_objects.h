// A value as the Python object `add` would be given: an int, or str (UTF-8,
// strictly decoded: nullptr with UnicodeDecodeError set otherwise) or bytes,
// by its input type; from its converted form, or from an Arrow row that
// holds a value. GIL held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/arrow_values.h"

namespace vantorelle::native {

inline PyObject* value_object(InputType type, std::int64_t number, ByteView bytes) {
  if (type == InputType::LONG) return PyLong_FromLongLong(number);
  const auto* data = reinterpret_cast<const char*>(bytes.data());
  const auto size = static_cast<Py_ssize_t>(bytes.size());
  if (type == InputType::BYTES) return PyBytes_FromStringAndSize(data, size);
  return PyUnicode_DecodeUTF8(data, size, "strict");
}

inline PyObject* value_object(const engine::ValueReader& reader, std::int64_t row) {
  const InputType type = engine::input_type_of(reader.format().kind);
  std::int64_t number = 0;
  ByteView bytes;
  if (type == InputType::LONG) {
    reader.integer(row, &number);
  } else {
    reader.bytes(row, &bytes);
  }
  return value_object(type, number, bytes);
}

}  // namespace vantorelle::native
