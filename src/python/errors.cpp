#include "python/errors.h"

#include <string>
#include <string_view>

namespace vantorelle::python {
namespace {

constexpr std::string_view kProductPrefix = "Vantorelle error: ";

// Messages are built by the core from ASCII pieces and numbers; the decoder
// still must not fail on a stray byte from a third-party error text.
void raise_text(PyObject* exception_class, std::string_view text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "backslashreplace");
  if (message == nullptr) return;
  PyErr_SetObject(exception_class, message);
  Py_DECREF(message);
}

PyObject* internal_error_class() {
  // Derived from BaseException on purpose: a broken invariant must not be
  // swallowed by the `except Exception` of ordinary error handling.
  static PyObject* exception_class = nullptr;
  if (exception_class == nullptr) {
    exception_class = PyErr_NewExceptionWithDoc(
        "vantorelle_py.InternalError",
        "A broken internal invariant of the sketch engine, such as a sketch left in an "
        "invalid representation by a failed add.",
        PyExc_BaseException, nullptr);
  }
  return exception_class;
}

}  // namespace

void raise_sketch_error(const SketchError& error) {
  if (error.kind() == ErrorKind::InvalidArgument) {
    raise_text(PyExc_ValueError, error.display());
    return;
  }
  std::string message(kProductPrefix);
  message += error.display();
  raise_text(PyExc_RuntimeError, message);
}

void raise_add_error(const SketchError& error) {
  if (error.kind() == ErrorKind::InvalidState) {
    raise_text(PyExc_TypeError, error.message());
    return;
  }
  raise_sketch_error(error);
}

void raise_internal_failure(const char* text) {
  PyObject* exception_class = internal_error_class();
  if (exception_class == nullptr) return;
  raise_text(exception_class, text);
}

void raise_already_mutably_borrowed() {
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

void raise_already_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already borrowed"); }

}  // namespace vantorelle::python
