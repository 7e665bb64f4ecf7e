// An Arrow row as the Python object `add` would be given: an int, or str
// (UTF-8, strictly decoded: nullptr with UnicodeDecodeError set otherwise)
// or bytes, by the input type of the array's format. GIL held; the row
// holds a value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/arrow_values.h"

namespace vantorelle::native {

inline PyObject* value_object(const engine::ValueReader& reader, std::int64_t row) {
  const InputType type = engine::input_type_of(reader.format().kind);
  if (type == InputType::LONG) {
    std::int64_t value = 0;
    reader.integer(row, &value);
    return PyLong_FromLongLong(value);
  }
  ByteView value;
  reader.bytes(row, &value);
  const auto* data = reinterpret_cast<const char*>(value.data());
  const auto size = static_cast<Py_ssize_t>(value.size());
  if (type == InputType::BYTES) return PyBytes_FromStringAndSize(data, size);
  return PyUnicode_DecodeUTF8(data, size, "strict");
}

}  // namespace vantorelle::native
