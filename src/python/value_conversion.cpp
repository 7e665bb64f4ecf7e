#include "python/value_conversion.h"

#include <string_view>

namespace vantorelle::python {

bool clear_refusal() {
  PyObject* pending = PyErr_Occurred();
  if (pending != nullptr && (!PyErr_GivenExceptionMatches(pending, PyExc_Exception) ||
                             PyErr_GivenExceptionMatches(pending, PyExc_MemoryError))) {
    return false;
  }
  PyErr_Clear();
  return true;
}

namespace {

bool as_long(long long number, ConvertedValue* out) {
  out->type = InputType::LONG;
  out->number = number;
  return true;
}

bool as_text(PyObject* value, ConvertedValue* out) {
  std::string_view utf8;
  if (!text_as_utf8(value, &utf8)) {
    clear_refusal();  // lone surrogates
    return false;
  }
  out->type = InputType::STRING;
  out->bytes = ByteView(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
  return true;
}

}  // namespace

bool convert_value(PyObject* value, ByteSequence& storage, ConvertedValue* out) {
  if (PyLong_CheckExact(value)) {
    long long number;
    // Most ints are read straight from their digits; the rest (and every
    // refusal) go through the interpreter's own conversion.
    if (exact_int_as_int64(value, &number)) return as_long(number, out);
    number = PyLong_AsLongLong(value);
    if (number != -1 || !PyErr_Occurred()) return as_long(number, out);
    clear_refusal();
    return false;  // an out-of-range int is neither text nor a sequence
  }
  // Exact str and bytes have no __index__, so the integer conversion could
  // only fail for them; they go straight to their own conversion.
  if (PyUnicode_CheckExact(value)) return as_text(value, out);
  if (PyBytes_CheckExact(value)) {
    out->type = InputType::BYTES;
    out->bytes = exact_bytes_view(value);
    return true;
  }
  // Without an int base or __index__, the integer conversion could only fail.
  if (PyLong_Check(value) || PyIndex_Check(value)) {
    const long long number = PyLong_AsLongLong(value);
    if (number != -1 || !PyErr_Occurred()) return as_long(number, out);
    if (!clear_refusal()) return false;
  }
  if (PyUnicode_Check(value)) return as_text(value, out);
  if (!storage.read(value)) return false;
  out->type = InputType::BYTES;
  out->bytes = storage.view();
  return true;
}

}  // namespace vantorelle::python
