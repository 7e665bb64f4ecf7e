#include "native/refusal_messages.h"

#include "engine/arrow_type_names.h"
#include "engine/input_errors.h"
#include "native/column_builder.h"
#include "python/owned_ref.h"

namespace vantorelle::native {
namespace {

using python::OwnedRef;

// The str of `object`, cut to a readable length; empty when it fails.
std::string shown(PyObject* object, Py_ssize_t limit = 40) {
  OwnedRef text(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  std::string result(utf8, static_cast<std::size_t>(size));
  if (size > limit) result = result.substr(0, static_cast<std::size_t>(limit)) + "...";
  return result;
}

std::string lone_surrogate_message(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 code = PyUnicode_READ_CHAR(text, i);
    if (code >= 0xD800 && code <= 0xDFFF) {
      char unit[8];
      PyOS_snprintf(unit, sizeof unit, "%04X", static_cast<unsigned>(code));
      return std::string(kUnsupportedType) + ": the text has a lone surrogate (U+" + unit +
             " at index " + std::to_string(i) +
             ") and so no UTF-8 form; decode such text with errors='replace' or count it as "
             "bytes";
    }
  }
  return kUnsupportedType;
}

}  // namespace

std::string out_of_range_message(std::uint64_t value) {
  return engine::integer_range_refusal(std::to_string(value));
}

std::string refused_item_message(PyObject* item) {
  if (PyLong_Check(item)) return engine::integer_range_refusal(shown(item));
  if (PyUnicode_Check(item)) return lone_surrogate_message(item);
  if (PyIndex_Check(item)) {
    // (numpy's uint64 past 2^63 - 1, say: an integer out of range)
    OwnedRef number(PyNumber_Index(item));
    if (number) return engine::integer_range_refusal(shown(number.get()));
    PyErr_Clear();
  }
  return kUnsupportedType;
}

std::string unsupported_arrow_column_message(const ArrowSchema& schema, std::string_view values) {
  std::string message(kUnsupportedType);
  // (named as every door names it: a dictionary as dictionary<...>)
  message += ": cannot count an Arrow column of " + engine::arrow_type_in_words(schema) + " values";
  message += "; integers, booleans, strings and binary are counted";
  const std::string_view format = values;
  if (schema.dictionary == nullptr && (format == "e" || format == "f" || format == "g")) {
    message +=
        " (pandas turns an integer column with missing values into floats: "
        "astype('Int64') keeps it integers, and the missing values are skipped)";
  } else if (format.starts_with("td") || format.starts_with("ts")) {
    message += " (convert dates and times to integers or text first, e.g. with astype('int64'))";
  }
  return message;
}

}  // namespace vantorelle::native
