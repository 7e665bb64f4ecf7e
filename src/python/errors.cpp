#include "python/errors.h"

namespace vantorelle::python {
namespace {

PyObject* internal_error_class() {
  static PyObject* exception_class = nullptr;
  if (exception_class == nullptr) {
    exception_class = new_internal_error_class("vantorelle_py.InternalError");
  }
  return exception_class;
}

}  // namespace

void raise_sketch_error(const SketchError& error) {
  raise_translated(error, PyExc_ValueError, PyExc_RuntimeError);
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
