// Failures of the native module as Python exceptions.
//
// The module owns the package's sketch-error classes, created when it is
// loaded and re-exported by `vantorelle`. Each derives from SketchError and
// from the built-in the same failure raised before the classes existed, so
// `except ValueError` (or TypeError, RuntimeError) keeps catching it:
//
//   SketchError(Exception)
//   ├── CorruptSketchError(SketchError, ValueError)      unsound serialised bytes
//   ├── IncompatibleSketchError(SketchError, RuntimeError) sketches or kinds that cannot combine
//   ├── RefusedValueError(SketchError, TypeError)        a value or column type that does not count
//   └── InvalidInputError(SketchError, ValueError)       precisions, malformed arrays and the like
//
// Code that raised a built-in switches by calling raise_sketch_error with the
// built-in it used (PyExc_ValueError → InvalidInputError, PyExc_TypeError →
// RefusedValueError, PyExc_RuntimeError → IncompatibleSketchError), or with
// the class it means.
//
// A broken invariant, which no input should reach here, ends the call as the
// InternalError that vantorelle_py raises for its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "error/sketch_error.h"
#include "python/error_translation.h"
#include "python/guarded.h"

namespace vantorelle::native {

enum class ErrorClass { Corrupt, Incompatible, Refused, InvalidInput };

// The class raised where a built-in was: TypeError → Refused,
// RuntimeError → Incompatible, anything else → InvalidInput.
ErrorClass error_class_for(PyObject* builtin);

// Creates the classes as attributes of the module (its exec step).
int add_error_classes(PyObject* module);

// Sets the class's exception with `text` (UTF-8).
void raise_sketch_error(ErrorClass which, std::string_view text);
void raise_sketch_error(PyObject* builtin, std::string_view text);
// The same with a PyUnicode_FromFormat format.
void raise_sketch_error_format(ErrorClass which, const char* format, ...);

// An engine failure, translated as every module translates it: an invalid
// argument as InvalidInputError, any other kind as IncompatibleSketchError
// with the product prefix.
void raise_error(const SketchError& error);

// Raises the InternalError of broken invariants.
void raise_internal_failure(const char* text);

// Replaces a plain TypeError or ValueError that is set (raised by CPython's
// own conversions, or by code written before the classes existed) with
// RefusedValueError or InvalidInputError of the same text, the plain one as
// its cause; any other exception stands.
void as_sketch_error();

// Every function of the module runs its body through this: a C++ exception
// becomes InternalError, and no plain TypeError or ValueError leaves the
// module, so each of its failures is a SketchError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  PyObject* result = python::guarded_with(body, raise_internal_failure);
  if (result == nullptr) as_sketch_error();
  return result;
}

}  // namespace vantorelle::native
