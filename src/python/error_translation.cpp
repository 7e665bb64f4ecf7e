#include "python/error_translation.h"

#include <string>

namespace vantorelle::python {

void raise_text(PyObject* exception_class, std::string_view text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "backslashreplace");
  if (message == nullptr) return;
  PyErr_SetObject(exception_class, message);
  Py_DECREF(message);
}

void raise_translated(const SketchError& error, PyObject* invalid_argument, PyObject* other) {
  if (error.kind() == ErrorKind::InvalidArgument) {
    raise_text(invalid_argument, error.display());
    return;
  }
  std::string message(kProductPrefix);
  message += error.display();
  raise_text(other, message);
}

PyObject* new_internal_error_class(const char* qualified_name) {
  // Derived from BaseException on purpose: a broken invariant must not be
  // swallowed by the `except Exception` of ordinary error handling.
  return PyErr_NewExceptionWithDoc(
      qualified_name,
      "A broken internal invariant of the sketch engine, such as a sketch left in an "
      "invalid representation by a failed add.",
      PyExc_BaseException, nullptr);
}

}  // namespace vantorelle::python
